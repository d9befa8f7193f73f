#include "analysis/pre_tokenizer.hpp"

#include "analysis/token_style.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

using PreTokenKind = PreTokenStep::Kind;

// Puts `prefix` before the text; its bytes stand for what the first character stands for.
void prepend(std::string& text, std::vector<TextSpan>* sources, std::string_view prefix) {
    text.insert(0, prefix);
    if (sources) sources->insert(sources->begin(), prefix.size(), sources->front());
}

}  // namespace

PreTokenizer::PreTokenizer(const DocumentSections& sections) : steps_(read_pre_token_steps(sections)) {}

void PreTokenizer::run_step(const PreTokenStep& step, Piece& piece, bool with_sources) {
    std::string& text = piece.text;
    std::vector<TextSpan>* sources = with_sources ? &piece.sources : nullptr;
    if (step.kind == PreTokenKind::kByteLevel && step.add_prefix_space && !text.starts_with(' '))
        prepend(text, sources, " ");
    if (step.kind == PreTokenKind::kMetaspace) {
        if (text.find(' ') != std::string::npos) {
            scratch_.clear();
            scratch_sources_.clear();
            for (std::size_t i = 0; i < text.size(); ++i) {
                const std::size_t bytes = text[i] == ' ' ? step.text.size() : 1;
                if (text[i] == ' ') scratch_.append(step.text);
                else scratch_.push_back(text[i]);
                if (sources) scratch_sources_.insert(scratch_sources_.end(), bytes, (*sources)[i]);
            }
            text.swap(scratch_);
            if (sources) sources->swap(scratch_sources_);
        }
        bool prepends = step.prepend == PreTokenStep::Prepend::kAlways ||
                        (step.prepend == PreTokenStep::Prepend::kFirst && piece.at_start);
        if (prepends && !text.starts_with(step.text)) prepend(text, sources, step.text);
    }
    spans_.clear();
    split_by_step(step, text, spans_);
    for (const TextSpan& span : spans_) {
        Piece& out = next_.emplace_back();
        out.at_start = piece.at_start && span.begin == 0;
        std::string_view part = std::string_view(text).substr(span.begin, span.end - span.begin);
        out.text.clear();
        out.sources.clear();
        if (step.kind != PreTokenKind::kByteLevel) {
            out.text.assign(part);
            if (sources) out.sources.assign(sources->begin() + span.begin, sources->begin() + span.end);
            continue;
        }
        // Each byte becomes one character of the byte-level alphabet.
        for (std::size_t i = span.begin; i < span.end; ++i) {
            const std::size_t before = out.text.size();
            append_byte_level(out.text, std::string_view(text).substr(i, 1));
            if (sources) out.sources.insert(out.sources.end(), out.text.size() - before, (*sources)[i]);
        }
    }
}

void PreTokenizer::run(std::string_view normalized, bool at_start, bool with_sources) {
    pieces_.clear();
    if (normalized.empty()) return;
    Piece& whole = pieces_.emplace_back();
    whole.text.assign(normalized);
    whole.at_start = at_start;
    whole.sources.clear();
    if (with_sources) {
        const auto* p = reinterpret_cast<const unsigned char*>(normalized.data());
        for (std::size_t i = 0; i < normalized.size();) {
            std::size_t length = utf8_sequence_length(p[i]);
            whole.sources.insert(whole.sources.end(), length, TextSpan{i, i + length});
            i += length;
        }
    }
    for (const PreTokenStep& step : steps_.steps) {
        next_.clear();
        for (Piece& piece : pieces_) run_step(step, piece, with_sources);
        pieces_.swap(next_);
    }
}

void PreTokenizer::split(std::string_view normalized, bool at_start, std::vector<std::string>& words) {
    run(normalized, at_start, false);
    for (Piece& piece : pieces_) words.push_back(std::move(piece.text));
}

void PreTokenizer::split(std::string_view normalized, bool at_start, std::vector<std::string>& words,
                         std::vector<TextSpan>& sources) {
    run(normalized, at_start, true);
    for (Piece& piece : pieces_) {
        sources.push_back({piece.sources.front().begin, piece.sources.back().end});
        words.push_back(std::move(piece.text));
    }
}

}  // namespace vocarix
