// Fuzz target: arbitrary bytes into the readers of other programs' files
// (vocab.json and added_tokens.json, merges.txt, SentencePiece models, chat
// templates). The first byte picks the reader. Each must refuse bad input
// with FormatError only, and what it reads must write back to what reads
// the same: a model's unchanged pieces come back byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "formats/chat_template/template_scan.hpp"
#include "formats/format_error.hpp"
#include "formats/sentencepiece/model_proto.hpp"
#include "formats/slow_tokenizer/merges_text.hpp"
#include "formats/slow_tokenizer/token_ids_json.hpp"

namespace {

using namespace vocarix::formats;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_reader_files: %s\n", what);
    std::abort();
}

void token_ids(std::string_view text) {
    TokenIdsFile file = read_token_ids(text, "vocab.json");
    std::string written = write_token_ids(file.entries, file.layout);
    TokenIdsFile again = read_token_ids(written, "vocab.json");
    if (again.entries.size() != file.entries.size()) fail("token ids: a different count after writing");
    std::string twice = write_token_ids(again.entries, again.layout);
    if (twice != written) fail("token ids: writing what was written changes it");
}

void merges(std::string_view text) {
    MergesText file = read_merges_text(text, "merges.txt");
    std::string written = write_merges_text(file.merges, file.layout);
    MergesText again = read_merges_text(written, "merges.txt");
    if (again.merges != file.merges || again.layout.header != file.layout.header) fail("merges: not read back");
}

void model(std::string_view bytes) {
    SentencePieceModel model = parse_sentencepiece_model(bytes, "tokenizer.model");
    if (write_sentencepiece_model(model, model.pieces) != bytes) fail("model: unchanged pieces not written as read");
    std::vector<SentencePiece> fresh = model.pieces;
    for (SentencePiece& piece : fresh) piece.stored.clear();
    SentencePieceModel again = parse_sentencepiece_model(write_sentencepiece_model(model, fresh), "tokenizer.model");
    if (again.pieces.size() != model.pieces.size()) fail("model: pieces lost when written anew");
    for (std::size_t i = 0; i < again.pieces.size(); ++i)
        if (!again.pieces[i].same_content(model.pieces[i]) && again.pieces[i].score == again.pieces[i].score)
            fail("model: a piece changed when written anew");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        switch (data[0] % 4) {
            case 0: token_ids(input); break;
            case 1: merges(input); break;
            case 2: model(input); break;
            default: scan_chat_template(input, "chat_template.jinja"); break;
        }
    } catch (const FormatError&) {
    }
    return 0;
}
