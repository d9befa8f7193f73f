#include "analysis/pre_tokenizer.hpp"

#include "analysis/token_style.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

using PreTokenKind = PreTokenStep::Kind;

// The byte-level alphabet's form of each byte (one or two bytes of UTF-8).
struct ByteForms {
    char text[256][2];
    std::uint8_t length[256];
};

const ByteForms& byte_forms() {
    static const ByteForms forms = [] {
        ByteForms out{};
        for (unsigned b = 0; b < 256; ++b) {
            std::string form;
            const char byte = static_cast<char>(b);
            append_byte_level(form, std::string_view(&byte, 1));
            out.length[b] = static_cast<std::uint8_t>(form.size());
            for (std::size_t i = 0; i < form.size(); ++i) out.text[b][i] = form[i];
        }
        return out;
    }();
    return forms;
}

}  // namespace

PreTokenizer::PreTokenizer(const DocumentSections& sections)
    : steps_(read_pre_token_steps(sections)), levels_(steps_.steps.size()) {}

void PreTokenizer::run(std::string_view normalized, bool at_start, Sink sink, void* context, bool with_sources) {
    if (normalized.empty()) return;
    sink_ = sink;
    context_ = context;
    const TextSpan* sources = nullptr;
    if (with_sources) {
        input_sources_.clear();
        const auto* p = reinterpret_cast<const unsigned char*>(normalized.data());
        for (std::size_t i = 0; i < normalized.size();) {
            std::size_t length = utf8_sequence_length(p[i]);
            input_sources_.insert(input_sources_.end(), length, TextSpan{i, i + length});
            i += length;
        }
        sources = input_sources_.data();
    }
    descend(0, normalized, sources, at_start);
}

// Runs step `depth` on one piece, then the next steps on each piece it
// leaves, depth first: every piece is cut independently, as the runtime
// cuts them, so the words come out in the runtime's order. `sources`, when
// kept, gives for each byte of `text` the input bytes it stands for.
void PreTokenizer::descend(std::size_t depth, std::string_view text, const TextSpan* sources, bool at_start) {
    if (depth == steps_.steps.size()) {
        sink_(context_, text, sources ? TextSpan{sources[0].begin, sources[text.size() - 1].end} : TextSpan{0, 0});
        return;
    }
    const PreTokenStep& step = steps_.steps[depth];
    Level& level = levels_[depth];
    // The rewriting that comes before the step's split: the byte-level
    // prefix space, Metaspace's marks for spaces and before the piece.
    const bool prefix_space = step.kind == PreTokenKind::kByteLevel && step.add_prefix_space && !text.starts_with(' ');
    const bool metaspace = step.kind == PreTokenKind::kMetaspace;
    if (prefix_space || metaspace) {
        level.text.clear();
        level.sources.clear();
        auto put = [&](std::string_view bytes, TextSpan source) {
            level.text.append(bytes);
            if (sources) level.sources.insert(level.sources.end(), bytes.size(), source);
        };
        const TextSpan first_source = sources ? sources[0] : TextSpan{0, 0};
        if (prefix_space) put(" ", first_source);
        if (metaspace) {
            const bool prepends = step.prepend == PreTokenStep::Prepend::kAlways ||
                                  (step.prepend == PreTokenStep::Prepend::kFirst && at_start);
            // The marker is prepended after the spaces became markers: a piece that starts with a space has one.
            if (prepends && !text.starts_with(' ') && !text.starts_with(step.text)) put(step.text, first_source);
        }
        for (std::size_t i = 0; i < text.size(); ++i) {
            const TextSpan source = sources ? sources[i] : TextSpan{0, 0};
            put(metaspace && text[i] == ' ' ? std::string_view(step.text) : text.substr(i, 1), source);
        }
        text = level.text;
        if (sources) sources = level.sources.data();
    }
    auto on_piece = [&](TextSpan span) {
        const bool piece_at_start = at_start && span.begin == 0;
        const std::string_view piece = text.substr(span.begin, span.end - span.begin);
        const TextSpan* piece_sources = sources ? sources + span.begin : nullptr;
        if (step.kind != PreTokenKind::kByteLevel || (unmapped_last_ && depth + 1 == steps_.steps.size())) {
            descend(depth + 1, piece, piece_sources, piece_at_start);
            return;
        }
        // Each byte becomes one character of the byte-level alphabet (one or two bytes).
        const ByteForms& forms = byte_forms();
        std::string& mapped = level.mapped;
        mapped.resize(2 * piece.size());
        char* out = mapped.data();
        for (const char c : piece) {
            const auto byte = static_cast<unsigned char>(c);
            out[0] = forms.text[byte][0];
            out[1] = forms.text[byte][1];
            out += forms.length[byte];
        }
        mapped.resize(static_cast<std::size_t>(out - mapped.data()));
        if (piece_sources) {
            level.mapped_sources.clear();
            for (std::size_t i = 0; i < piece.size(); ++i)
                level.mapped_sources.insert(level.mapped_sources.end(), forms.length[static_cast<unsigned char>(piece[i])],
                                            piece_sources[i]);
        }
        descend(depth + 1, mapped, piece_sources ? level.mapped_sources.data() : nullptr, piece_at_start);
    };
    for_each_piece(step, text, on_piece);
}

void PreTokenizer::split(std::string_view normalized, bool at_start, std::vector<std::string>& words) {
    for_each_word(normalized, at_start, [&](std::string_view word) { words.emplace_back(word); });
}

void PreTokenizer::split(std::string_view normalized, bool at_start, std::vector<std::string>& words,
                         std::vector<TextSpan>& sources) {
    struct Out {
        std::vector<std::string>& words;
        std::vector<TextSpan>& sources;
    } out{words, sources};
    Sink sink = [](void* context, std::string_view word, TextSpan source) {
        auto& into = *static_cast<Out*>(context);
        into.words.emplace_back(word);
        into.sources.push_back(source);
    };
    run(normalized, at_start, sink, &out, true);
}

}  // namespace vocarix
