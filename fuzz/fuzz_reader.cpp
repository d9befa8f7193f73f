// Fuzz target: arbitrary bytes into the document reader.
//
// A document that parses must write in both layouts, and the written text
// must read back to the same document: to_json(parse(to_json(x))) == to_json(x),
// and the file layout re-read gives that same text too. Standalone JSON
// values get the same round trip. Any exception other than ParseError is a bug.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "document/errors.hpp"
#include "document/json_reader.hpp"
#include "document/json_writer.hpp"
#include "state/loading.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view expected, std::string_view actual) {
    std::fprintf(stderr, "fuzz_reader: %s\n--- expected (%zu bytes)\n%.*s\n--- actual (%zu bytes)\n%.*s\n", what,
                 expected.size(), static_cast<int>(std::min<std::size_t>(expected.size(), 4000)), expected.data(),
                 actual.size(), static_cast<int>(std::min<std::size_t>(actual.size(), 4000)), actual.data());
    std::abort();
}

// Text written by the writer must always read back.
std::unique_ptr<vocarix::EditorState> reparse(std::string_view text, const char* layout) {
    try {
        return vocarix::parse_tokenizer_text(text);
    } catch (const vocarix::ParseError& error) {
        fail(layout, "text that parses", error.what());
    }
}

// Every parse error names its position: "... at line L column C".
void check_message(const vocarix::ParseError& error) {
    std::string_view message = error.what();
    std::size_t at = message.rfind(" at line ");
    std::size_t column = message.rfind(" column ");
    auto digits = [](std::string_view s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (at == std::string_view::npos || column == std::string_view::npos || column < at ||
        !digits(message.substr(at + 9, column - at - 9)) || !digits(message.substr(column + 8)))
        fail("parse error without a position", "... at line L column C", message);
}

void check_document(std::string_view input) {
    std::unique_ptr<vocarix::EditorState> state;
    try {
        state = vocarix::parse_tokenizer_text(input);
    } catch (const vocarix::ParseError& error) {
        check_message(error);
        return;
    }
    const std::string text = vocarix::write_document_text(*state).str();
    const std::string file_text = vocarix::write_document_file_text(*state).str();

    auto again = reparse(text, "to_json text does not parse");
    const std::string text_again = vocarix::write_document_text(*again).str();
    if (text_again != text) fail("to_json is not a fixed point", text, text_again);
    if (vocarix::write_document_file_text(*again).str() != file_text)
        fail("file layout changed after a round trip", file_text, vocarix::write_document_file_text(*again).str());

    auto from_file = reparse(file_text, "file layout text does not parse");
    const std::string text_from_file = vocarix::write_document_text(*from_file).str();
    if (text_from_file != text) fail("file layout reads back differently", text, text_from_file);

    if (again->vocab_size() != state->vocab_size() || again->merge_count() != state->merge_count())
        fail("counts changed after a round trip", text, text_again);
}

void check_value(std::string_view input) {
    vocarix::JsonValue value;
    try {
        value = vocarix::parse_json_value(input);
    } catch (const vocarix::ParseError& error) {
        check_message(error);
        return;
    }
    const std::string text = vocarix::write_json_value(value);
    vocarix::JsonValue again;
    try {
        again = vocarix::parse_json_value(text);
    } catch (const vocarix::ParseError& error) {
        fail("written value does not parse", text, error.what());
    }
    const std::string text_again = vocarix::write_json_value(again);
    if (text_again != text) fail("value text is not a fixed point", text, text_again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    check_document(input);
    check_value(input);
    return 0;
}
