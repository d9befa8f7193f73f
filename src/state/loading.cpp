#include "state/loading.hpp"

#include "document/errors.hpp"
#include "document/file_io.hpp"
#include "document/text.hpp"

namespace vocarix {

std::unique_ptr<EditorState> parse_tokenizer_text(std::string_view text, ReadMode mode) {
    return std::make_unique<EditorState>(read_tokenizer_document(text, mode));
}

void finish_loaded_document(EditorState& state) {
    if (state.sections.model.type != "BPE") throw DocumentError("Only BPE tokenizers are supported");
    state.trim_capacity();
}

std::unique_ptr<EditorState> load_tokenizer_file(const std::string& path, ReadMode mode, const ReadOptions& options) {
    std::unique_ptr<EditorState> state;
    {
        bool ended_early = false;
        TextBuffer file = read_file(path, options, &ended_early);
        std::string_view text = file.view();
        try {
            state = parse_tokenizer_text(text, mode);
            // Text cut at a byte that rules out every document cannot parse.
            if (ended_early) throw ParseError("unexpected byte in a document read from a stream");
        } catch (const ParseError& error) {
            // A file that is not UTF-8 is a read failure, wherever the parser stopped.
            if (ended_early ? !is_valid_utf8_so_far(text) : !is_valid_utf8(text))
                throw DocumentError("Failed to read: " + debug_quoted(path), "stream did not contain valid UTF-8");
            throw DocumentError("Failed to parse tokenizer.json", error.what());
        }
    }
    finish_loaded_document(*state);
    return state;
}

void save_tokenizer_file(const EditorState& state, const std::string& path) {
    write_file(path, [&state](const TextSink& sink) { write_document_file_text(state.records(), sink); });
}

WrittenText write_document_text(const EditorState& state) {
    return write_document_text(state.records(), state.key_order());
}

WrittenText write_document_file_text(const EditorState& state) { return write_document_file_text(state.records()); }

}  // namespace vocarix
