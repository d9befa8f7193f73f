// Encoding a text held as fixed-width code points (one, two or four bytes
// each, as an interpreter stores its strings) into UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocarix {

// The most UTF-8 bytes one code unit of `unit_size` bytes can take.
constexpr std::size_t utf8_bytes_per_unit(std::size_t unit_size) { return unit_size == 1 ? 2 : unit_size == 2 ? 3 : 4; }

// Encodes `count` code points to UTF-8 at `out`, which has room for
// utf8_bytes_per_unit(sizeof(Unit)) * count bytes. Returns the end of the
// encoding, or nullptr when a code point is a surrogate, which UTF-8 cannot
// hold. A large text is encoded on two threads.
template <class Unit>
char* encode_utf8_units(const Unit* units, std::size_t count, char* out);

extern template char* encode_utf8_units(const std::uint8_t*, std::size_t, char*);
extern template char* encode_utf8_units(const std::uint16_t*, std::size_t, char*);
extern template char* encode_utf8_units(const std::uint32_t*, std::size_t, char*);

}  // namespace vocarix
