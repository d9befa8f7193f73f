// Learning from text: new merges learned from word counts, another
// tokenizer's entries brought in, token counts of counted words.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "bindings/tools/result_lists.hpp"
#include "learning/fixed_size_learning.hpp"
#include "learning/merge_learning.hpp"
#include "learning/vocabulary_merge.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;

py::dict learn_report_dict(const LearnReport& report) {
    py::dict out;
    py::list merges;
    for (const LearnedMerge& merge : report.merges) {
        py::dict d;
        d["left"] = merge.left;
        d["right"] = merge.right;
        d["result"] = merge.result;
        d["count"] = make_int(merge.count);
        d["new_entry"] = merge.new_entry;
        merges.append(d);
    }
    out["merges"] = merges;
    py::list characters;
    for (const LearnedCharacter& character : report.characters) {
        py::dict d;
        d["character"] = character.character;
        d["count"] = make_int(character.count);
        d["saved"] = make_int(character.saved);
        characters.append(d);
    }
    out["characters"] = characters;
    out["entries_created"] = report.entries_created;
    out["words"] = make_int(report.words);
    out["distinct_words"] = make_int(report.distinct_words);
    out["tokens_before"] = make_int(report.tokens_before);
    out["tokens_after"] = make_int(report.tokens_after);
    out["tokens_after_learned"] = make_int(report.tokens_after_learned);
    out["exhausted"] = report.exhausted;
    return out;
}

py::dict learn(EditorObject& editor, py::handle words_object, py::handle entries, py::handle min_count,
               bool add_characters, bool keep_size, py::handle keep_object, py::handle min_id, py::handle usage_object) {
    LearnOptions options;
    options.entries = python::to_u64(entries, "entries");
    options.min_count = std::max<std::uint64_t>(1, python::to_u64(min_count, "min_count"));
    options.add_characters = add_characters;
    CountList words = python::to_count_list(words_object, "words");
    if (!keep_size) {
        python::ExclusiveBorrow borrow(editor);
        py::dict out = learn_report_dict(learn_merges(borrow.state(), words, options));
        out["keep_size"] = false;
        return out;
    }
    ProtectionRules protection;
    if (!keep_object.is_none()) protection.keep = python::to_str_list(keep_object, "keep");
    protection.min_id = python::to_u32(min_id, "min_id");
    std::optional<CountList> usage;
    if (!usage_object.is_none()) usage = python::to_count_list(usage_object, "usage");
    python::ExclusiveBorrow borrow(editor);
    FixedSizeLearnReport report =
        learn_merges_fixed_size(borrow.state(), words, options, protection, usage ? &*usage : nullptr);
    py::dict out = learn_report_dict(report.learned);
    out["keep_size"] = true;
    out["initial_vocab_size"] = make_int(report.room.initial_vocab_size);
    out["final_vocab_size"] = make_int(report.room.final_vocab_size);
    out["evicted"] = evicted_list(report.room.evicted);
    out["without_room"] = report.room.without_room;
    out["ids_left_free"] = report.room.ids_left_free;
    out["usage_from_corpus"] = report.counts_from_corpus;
    return out;
}

py::dict token_counts(EditorObject& editor, py::handle words_object) {
    CountList words = python::to_count_list(words_object, "words");
    python::SharedBorrow borrow(editor);
    py::dict out;
    for (const auto& [token, count] : token_counts_for_words(borrow.state(), words))
        out[python::make_str(token)] = make_int(count);
    return out;
}

py::int_ tokens_for(EditorObject& editor, py::handle words_object) {
    std::vector<std::pair<std::string, std::uint64_t>> words = python::to_count_list(words_object, "words");
    python::SharedBorrow borrow(editor);
    return make_int(tokens_for_words(borrow.state(), words));
}

py::dict merge_vocabulary(EditorObject& base, EditorObject& other, py::handle max_entries, py::handle usage_object,
                          bool add_unknown_characters, py::handle words_object, bool rank_by_usage) {
    if (&base == &other) python::raise(PyExc_ValueError, "BASE and OTHER are the same editor");
    VocabularyMergeOptions options;
    if (!max_entries.is_none()) options.max_entries = python::to_u64(max_entries, "max_entries");
    std::optional<CountList> usage;
    if (!usage_object.is_none()) usage = python::to_count_list(usage_object, "usage");
    options.usage = usage ? &*usage : nullptr;
    std::optional<CountList> words;
    if (!words_object.is_none()) words = python::to_count_list(words_object, "words");
    options.words = words ? &*words : nullptr;
    options.add_unknown_characters = add_unknown_characters;
    options.rank_by_usage = rank_by_usage;
    python::SharedBorrow reading(other);
    python::ExclusiveBorrow borrow(base);
    VocabularyMergeReport report = vocarix::merge_vocabulary(borrow.state(), reading.state(), options);
    py::dict out;
    out["other_entries"] = make_int(report.other_entries);
    out["missing"] = make_int(report.missing);
    out["added"] = make_int(report.added);
    out["with_other_merge"] = make_int(report.with_other_merge);
    out["with_chain"] = make_int(report.with_chain);
    out["left_out_for_room"] = make_int(report.left_out_for_room);
    out["unused_on_corpus"] = make_int(report.unused_on_corpus);
    out["not_added"] = report.not_added;
    out["words_added"] = report.words_added;
    out["entries_created"] = report.entries_created;
    out["merges_appended"] = report.merges_appended;
    return out;
}

py::tuple in_use(EditorObject& editor, py::handle usage_object, py::handle entries_object) {
    CountList usage = python::to_count_list(usage_object, "usage");
    std::vector<std::string> entries = python::to_str_list(entries_object, "entries");
    python::SharedBorrow borrow(editor);
    EntriesInUse used = entries_in_use(borrow.state(), usage, entries);
    return py::make_tuple(used.produced, used.parts);
}

py::str style_difference(EditorObject& base, EditorObject& other) {
    python::SharedBorrow a(base), b(other);
    return python::make_str(token_style_difference(a.state(), b.state()));
}

}  // namespace

void register_learning(py::module_& module) {
    module.def("learn_merges", &learn, py::arg("editor"), py::arg("words"), py::arg("entries"),
               py::arg("min_count") = 2, py::arg("add_characters") = true, py::arg("keep_size") = false,
               py::arg("keep") = py::none(), py::arg("min_id") = 0, py::arg("usage") = py::none(),
               "Learn new merges from word counts, appended after every existing merge; with keep_size each "
               "new entry takes the id of a token evicted for it, the least used first.");
    module.def("merge_vocabulary", &merge_vocabulary, py::arg("base"), py::arg("other"),
               py::arg("max_entries") = py::none(), py::arg("usage") = py::none(),
               py::arg("add_unknown_characters") = true, py::arg("words") = py::none(),
               py::arg("rank_by_usage") = true,
               "Add OTHER's entries that BASE lacks, each with merges that make BASE's model produce it; "
               "with usage (OTHER's token counts) or words (BASE's word counts) of a corpus, only those "
               "that can be produced there.");
    module.def("entries_in_use", &in_use, py::arg("editor"), py::arg("usage"), py::arg("entries"),
               "Which entries a corpus uses: (produced, parts of the merges behind produced ones).");
    module.def("token_style_difference", &style_difference, py::arg("base"), py::arg("other"),
               "How the two files write tokens differently; empty when they write them alike.");
    module.def("token_counts", &token_counts, py::arg("editor"), py::arg("words"),
               "How often the model uses each token on word counts.");
    module.def("tokens_for_words", &tokens_for, py::arg("editor"), py::arg("words"),
               "How many tokens the model gives for word counts.");
}

}  // namespace vocarix::tools
