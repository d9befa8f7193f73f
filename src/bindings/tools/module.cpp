// The companion module vocarix_tools._native: core operations that the exact
// module's fixed surface cannot carry.
#include <pybind11/pybind11.h>

#include "bindings/tools/tools_bindings.hpp"

PYBIND11_MODULE(_native, module) {
    // The editor class lives in the main module; importing it registers the
    // class, so editors made here are ordinary vocarix.Vocarix objects.
    pybind11::module_::import("vocarix");
    module.doc() = "Native operations of vocarix_tools";
    vocarix::tools::register_loading(module);
    vocarix::tools::register_char_sync(module);
    vocarix::tools::register_segmentation(module);
    vocarix::tools::register_inspection(module);
    vocarix::tools::register_compare(module);
    vocarix::tools::register_consistency(module);
    vocarix::tools::register_usage(module);
    vocarix::tools::register_learning(module);
    vocarix::tools::register_text_pipeline(module);
    vocarix::tools::register_word_counts(module);
    vocarix::tools::register_corpus_reading(module);
    vocarix::tools::register_weights(module);
    vocarix::tools::register_model_folder(module);
    vocarix::tools::register_gguf_model(module);
    vocarix::tools::register_file_writing(module);
}
