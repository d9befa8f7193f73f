// The file's own text pipeline for the running-text checks of typed words
// (analysis/running_text.hpp): texts are cut exactly as word counting cuts
// a corpus line, added tokens, normalizer and pre-tokenizer included.
#pragma once

#include <memory>
#include <string>

#include "analysis/running_text.hpp"
#include "learning/text_normalizer.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

// The pipeline of the file `state` holds now, or null when it has a
// normalizer or pre-tokenizer the core cannot apply; `unsupported` then
// says which. `forms` must outlive the splitter.
std::unique_ptr<TextSplitter> make_text_splitter(const EditorState& state, UnicodeForms* forms,
                                                 std::string& unsupported);

}  // namespace vocarix
