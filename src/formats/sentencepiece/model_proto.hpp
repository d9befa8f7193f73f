// A SentencePiece model file (tokenizer.model): a protobuf ModelProto in
// the wire format. Only what an edit changes is read: the pieces (field 1,
// each a message of piece text = 1, score = 2 as a float, type = 3), and
// from the trainer spec (field 2) the model type and whether byte fallback
// is on. Everything else (the trainer and normalizer specs, self-test
// data, fields this reader does not know) is kept as bytes and written
// back as it was.
//
// The reader is strict and bounded: every length is checked against what
// is left, varints are at most ten bytes, groups (wire types 3 and 4) and
// field number 0 are refused, piece texts must be valid UTF-8, not empty
// and unique, and a type must be one of those below. A model whose pieces
// all stay as read is written back byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vocarix::formats {

// The kinds of piece. GGUF vocabularies number their token types the same way.
enum class PieceType : std::uint8_t {
    kNormal = 1,
    kUnknown = 2,
    kControl = 3,       // never produced from text: <s>, </s>, special tokens
    kUserDefined = 4,   // matched whole in the input before merging
    kUnused = 5,
    kByte = 6,          // <0xNN>, for byte fallback
};

std::string_view piece_type_name(PieceType type);

struct SentencePiece {
    std::string text;
    float score = 0.0f;
    PieceType type = PieceType::kNormal;
    // How the piece was stored, to write an unchanged piece as it was: its
    // whole field (tag and length included), and the fields of its message
    // this reader does not know. Empty for a piece made anew.
    std::string stored;
    std::string unknown_fields;
    bool has_type = false;  // the type field was written (normal pieces usually leave it out)

    bool same_content(const SentencePiece& other) const {
        return text == other.text && score == other.score && type == other.type;
    }
};

enum class ModelType : std::uint8_t { kUnigram = 1, kBpe = 2, kWord = 3, kChar = 4 };

struct SentencePieceModel {
    std::vector<SentencePiece> pieces;
    ModelType model_type = ModelType::kUnigram;  // the trainer spec's default
    bool byte_fallback = false;
    // The top-level fields other than the pieces, each whole, with the place
    // among the pieces where it stood (the number of piece fields before it).
    struct OtherField {
        std::size_t pieces_before = 0;
        std::string bytes;
    };
    std::vector<OtherField> other_fields;
};

// Models larger than this are refused before they are read.
inline constexpr std::uint64_t kMaxModelSize = std::uint64_t{1} << 30;

// FormatError "<file_name>: ..." for bytes that are no such model.
SentencePieceModel parse_sentencepiece_model(std::string_view bytes, std::string_view file_name);

// The model with `pieces` in place of its own, as bytes. A piece with a
// `stored` form is written as stored (whoever changes a piece clears it);
// the other fields keep their places relative to the start and the end of
// the pieces.
std::string write_sentencepiece_model(const SentencePieceModel& model, const std::vector<SentencePiece>& pieces);

}  // namespace vocarix::formats
