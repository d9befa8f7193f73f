// The companion module's functions, registered by family. Each reaches the
// editors of the main module directly (same EditorObject, same build).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "file_sets/file_set_write.hpp"

namespace vocarix::tools {

// open, open_text, document_form: lenient loading and the form it found.
void register_loading(pybind11::module_& module);

// sync_single_chars with a source editor opened in any form.
void register_char_sync(pybind11::module_& module);

// segment, add_words_reachable: BPE as the runtime applies the file.
void register_segmentation(pybind11::module_& module);

// token_style, TokenTexts, vocabulary_report, explain_tokens: looking at one tokenizer.
void register_inspection(pybind11::module_& module);

// diff: what differs between two tokenizers.
void register_compare(pybind11::module_& module);

// runtime_ids, check, fix, edit_start, make_loadable, id_map: what the
// runtime reads in a document, repairs, and id maps across an edit.
void register_consistency(pybind11::module_& module);

// add_tokens (recorded, fixed size), prune, shrink_sparing: what goes, by usage and by what must stay.
void register_usage(pybind11::module_& module);

// learn_merges, merge_vocabulary, token_counts: learning tokens from counted words or another tokenizer.
void register_learning(pybind11::module_& module);

// WordCountTable, check_counting: corpus word counts, read from files and
// streams and added up across processes.
void register_word_counts(pybind11::module_& module);

// LineCuts, CorpusStream, chunk_end_after: how corpora are read, cut into
// chunks, and where their long lines may be cut.
void register_corpus_reading(pybind11::module_& module);

// normalize_text, pre_tokenize_text, pattern_matches: the file's normalizer and
// pre-tokenizer on one text, and the regular-expression matching under them.
void register_text_pipeline(pybind11::module_& module);

// safetensors_header, rewrite_safetensors, vocabulary_tensors: model weights
// read strictly and rewritten with their vocabulary rows re-sliced.
void register_weights(pybind11::module_& module);

// read_model_folder, check_model_folder, plan_folder_edit, write_model_folder:
// a tokenizer's model folder, kept consistent across an edit.
void register_model_folder(pybind11::module_& module);

// open_gguf, plan_gguf_edit, write_gguf_model: GGUF model files edited through their tokenizer.
void register_gguf_model(pybind11::module_& module);
// lock_for_edit, settle, write_text_file, save_tokenizer: writing all or
// nothing, one edit at a time, interrupted writes settled.
void register_file_writing(pybind11::module_& module);
// Writes to `path` the text produce() hands over piece by piece, without
// the GIL, replacing the file only once whole (OSError when it cannot be
// written).
void write_text_streamed(const std::string& path,
                         std::function<void(const file_sets::PieceWriter& write)> produce);

}  // namespace vocarix::tools
