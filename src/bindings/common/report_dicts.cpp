#include "bindings/common/report_dicts.hpp"

#include "bindings/common/convert.hpp"

namespace vocarix::python {

pybind11::dict sync_report_dict(const SyncReport& report) {
    pybind11::dict result;
    result["initial_vocab_size"] = make_int(report.initial_vocab_size);
    result["final_vocab_size"] = make_int(report.final_vocab_size);
    result["chars_in_source"] = make_int(report.chars_in_source);
    result["chars_already_present"] = make_int(report.chars_already_present);
    result["chars_added_count"] = make_int(report.chars_added_count);
    result["total_tokens_removed"] = make_int(report.total_tokens_removed);
    result["total_merges_removed"] = make_int(report.total_merges_removed);
    return result;
}

}  // namespace vocarix::python
