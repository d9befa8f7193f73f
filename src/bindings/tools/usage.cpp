// Workflows that choose what goes by usage and by what must stay: the
// fixed-size addition, pruning by usage and the shrink that spares added
// tokens.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/python_unicode_forms.hpp"
#include "bindings/tools/result_lists.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "operations/workflows/fixed_size_addition.hpp"
#include "analysis/pre_token_check.hpp"
#include "operations/workflows/sparing_shrink.hpp"
#include "analysis/token_style.hpp"
#include "analysis/word_forms.hpp"
#include "learning/running_text_splitter.hpp"
#include "operations/workflows/usage_prune.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;

std::vector<std::string> optional_str_list(py::handle object, const char* name) {
    return object.is_none() ? std::vector<std::string>{} : python::to_str_list(object, name);
}

UsageCounts usage_counts(EditorState& state, py::handle object, const char* name) {
    if (object.is_none()) return {};
    std::vector<std::pair<std::string, std::uint64_t>> counts = python::to_count_list(object, name);
    return UsageCounts(state, counts);
}

WordReadingMode reading_mode(const std::string& reading) {
    if (reading == "auto") return WordReadingMode::kAuto;
    if (reading == "text") return WordReadingMode::kText;
    if (reading != "stored")
        python::raise(PyExc_ValueError, "reading must be \"auto\", \"text\" or \"stored\", not \"" + reading + "\"");
    return WordReadingMode::kStored;
}

// The names of the contexts, in WordContext order.
constexpr std::pair<WordContext, const char*> kContextNames[] = {
    {kAfterSpace, "after_space"}, {kTextStart, "text_start"}, {kAfterLineBreak, "after_line_break"},
    {kInScript, "in_script"}};

// How typed words are read: "auto", "text" or "stored", and which of a text
// word's forms to take (context names, or "capitalised"; None, or only
// "capitalised", for the default forms of the word's script).
ReadingOptions reading_options(const std::string& reading, py::handle forms_object) {
    ReadingOptions options;
    options.mode = reading_mode(reading);
    if (forms_object.is_none()) return options;
    for (const std::string& name : python::to_str_list(forms_object, "forms")) {
        bool known = name == "capitalised";
        options.capitalised = options.capitalised || known;
        for (auto [context, context_name] : kContextNames)
            if (name == context_name) options.contexts |= context, known = true;
        if (!known)
            python::raise(PyExc_ValueError, "forms are \"after_space\", \"text_start\", \"after_line_break\", "
                                            "\"in_script\" and \"capitalised\", not \"" + name + "\"");
    }
    return options;
}

py::list context_list(std::uint8_t contexts) {
    py::list names;
    for (auto [context, name] : kContextNames)
        if (contexts & context) names.append(name);
    return names;
}

py::list form_list(const std::vector<WordForm>& forms) {
    py::list out;
    for (const WordForm& form : forms) {
        py::dict d;
        d["token"] = form.token;
        d["contexts"] = context_list(form.contexts);
        d["capitalised"] = form.capitalised;
        d["script"] = script_family_name(form.family);
        out.append(d);
    }
    return out;
}

// The file's text pipeline, with the Unicode data it may need; the
// splitter is null when the core cannot apply the pipeline (`unsupported` says why).
struct TextPipelineRun {
    explicit TextPipelineRun(const EditorState& state) : splitter(make_text_splitter(state, &forms, unsupported)) {}
    PythonUnicodeForms forms;
    std::string unsupported;
    std::unique_ptr<TextSplitter> splitter;
};

const char* verdict_name(PreTokenVerdict verdict) {
    return verdict == PreTokenVerdict::kWhole ? "whole" : verdict == PreTokenVerdict::kSplit ? "split" : "undecided";
}

// The keys of a word's report, made once: reports hold thousands of words.
struct WordReportKeys {
    py::handle requested = python::lasting_str("requested"), form = python::lasting_str("form"),
               token = python::lasting_str("token"), read_as = python::lasting_str("read_as"),
               contexts = python::lasting_str("contexts"), capitalised = python::lasting_str("capitalised"),
               other_forms = python::lasting_str("other_forms"), outcome = python::lasting_str("outcome"),
               refused = python::lasting_str("refused"), pieces_before = python::lasting_str("pieces_before"),
               piece_ids_before = python::lasting_str("piece_ids_before"),
               unknown_characters = python::lasting_str("unknown_characters"),
               merges_appended = python::lasting_str("merges_appended"),
               entries_created = python::lasting_str("entries_created"),
               produced_whole = python::lasting_str("produced_whole"), pre_tokenizer = python::lasting_str("pre_tokenizer"),
               produced_in = python::lasting_str("produced_in"), script = python::lasting_str("script"),
               measured_in_text = python::lasting_str("measured_in_text");
};

py::dict word_dict(const FixedSizeWord& word) {
    static const WordReportKeys keys;
    py::dict d;
    d[keys.requested] = word.requested;
    d[keys.form] = word.form;
    d[keys.token] = word.token;
    d[keys.read_as] = word.read_as_text ? "text" : "stored";
    d[keys.contexts] = context_list(word.contexts);
    d[keys.capitalised] = word.capitalised;
    d[keys.script] = script_family_name(word.family);
    d[keys.other_forms] = form_list(word.other_forms);
    d[keys.outcome] = word.outcome;
    d[keys.refused] = word.refused;
    d[keys.pieces_before] = python::make_str_list(word.pieces_before);
    d[keys.piece_ids_before] = python::make_int_list(word.piece_ids_before);
    d[keys.unknown_characters] = python::make_str_list(word.unknown_characters);
    d[keys.merges_appended] = python::make_str_pair_list(word.merges_appended);
    d[keys.entries_created] = python::make_str_int_list(word.entries_created);
    d[keys.produced_in] = context_list(word.produced_in);
    d[keys.measured_in_text] = word.measured_in_text;
    d[keys.produced_whole] = word.produced_whole;
    d[keys.pre_tokenizer] = verdict_name(word.pre_tokenizer);
    return d;
}

py::dict add_tokens_recorded(EditorObject& editor, py::handle tokens_object, const std::string& method,
                             bool keep_size, py::handle whitelist_object, py::handle min_id, py::handle counts_object,
                             py::handle add_unknown_characters, const std::string& reading, py::handle forms) {
    if (method != "reachable" && method != "prefix")
        python::raise(PyExc_ValueError, "method must be \"reachable\" or \"prefix\", not \"" + method + "\"");
    python::ExclusiveBorrow borrow(editor);
    FixedSizeOptions options;
    options.reachable = method == "reachable";
    // By default a character no entry spells becomes one, except in a
    // byte-level file, where it is a token written in another alphabet.
    options.add_unknown_characters = add_unknown_characters.is_none()
                                         ? !detect_token_style(borrow.state()).byte_level
                                         : add_unknown_characters.cast<bool>();
    options.hold_size = keep_size;
    options.reading = reading_options(reading, forms);
    std::vector<std::string> tokens = python::to_str_list(tokens_object, "tokens");
    options.protection.keep = optional_str_list(whitelist_object, "whitelist");
    options.protection.min_id = python::to_u32(min_id, "min_id");
    UsageCounts counts = usage_counts(borrow.state(), counts_object, "counts");
    TextPipelineRun text(borrow.state());
    options.text = text.splitter.get();
    FixedSizeReport report = add_words_fixed_size(borrow.state(), tokens, counts, options);

    py::dict out;
    out["initial_vocab_size"] = make_int(report.initial_vocab_size);
    out["final_vocab_size"] = make_int(report.final_vocab_size);
    py::list words;
    for (const FixedSizeWord& word : report.words) words.append(word_dict(word));
    out["words"] = words;
    out["evicted"] = evicted_list(report.evicted);
    out["without_room"] = report.without_room;
    out["ids_left_free"] = report.ids_left_free;
    out["unknown_counted_tokens"] = make_int(counts.unknown_tokens());
    out["pre_tokenizer_undecided"] = report.pre_tokenizer_undecided_by;
    out["text_pipeline_unsupported"] = text.unsupported;
    return out;
}

py::dict prune(EditorObject& editor, py::handle counts_object, py::handle size, py::handle min_count,
               py::handle keep_object, py::handle min_id, bool room_for_outside_added_tokens) {
    python::ExclusiveBorrow borrow(editor);
    PruneOptions options;
    if (!size.is_none()) options.target_size = python::to_u64(size, "size");
    if (!min_count.is_none()) options.min_count = python::to_u64(min_count, "min_count");
    if (!options.target_size && !options.min_count)
        python::raise(PyExc_ValueError, "give size or min_count (or both)");
    options.protection.keep = optional_str_list(keep_object, "keep");
    options.protection.min_id = python::to_u32(min_id, "min_id");
    options.room_for_outside_added_tokens = room_for_outside_added_tokens;
    if (counts_object.is_none()) python::raise(PyExc_TypeError, "argument 'counts': expected a dict of str to int");
    UsageCounts counts = usage_counts(borrow.state(), counts_object, "counts");
    PruneReport report = prune_by_usage(borrow.state(), counts, options);

    py::dict out;
    out["initial_vocab_size"] = make_int(report.initial_vocab_size);
    out["final_vocab_size"] = make_int(report.final_vocab_size);
    out["initial_merges_count"] = make_int(report.initial_merges_count);
    out["final_merges_count"] = make_int(report.final_merges_count);
    py::list removed;
    for (const PrunedToken& token : report.removed) {
        py::dict d;
        d["token"] = token.token;
        d["id"] = make_int(token.id);
        d["count"] = make_int(token.count);
        d["cascade_count"] = make_int(token.cascade_count);
        d["taken_along"] = token.taken_along;
        removed.append(d);
    }
    out["removed"] = removed;
    out["passed_over"] = make_int(report.passed_over);
    out["target_reached"] = report.target_reached;
    out["unknown_counted_tokens"] = make_int(counts.unknown_tokens());
    return out;
}

py::dict shrink_sparing(EditorObject& editor, py::handle count, py::handle min_id, py::handle keep) {
    std::vector<std::string> kept = python::to_str_list(keep, "keep");
    python::ExclusiveBorrow borrow(editor);
    std::uint64_t how_many = python::to_u64(count, "count");
    SparingShrinkReport report =
        vocarix::shrink_sparing(borrow.state(), how_many, python::to_u32(min_id, "min_id"), kept);
    const ShrinkResult& r = report.counts;
    py::dict out;
    out["initial_vocab_size"] = make_int(r.initial_vocab_size);
    out["final_vocab_size"] = make_int(r.final_vocab_size);
    out["initial_merges_count"] = make_int(r.initial_merges_count);
    out["final_merges_count"] = make_int(r.final_merges_count);
    out["tokens_removed_count"] = make_int(r.tokens_removed_count);
    out["total_tokens_removed"] = make_int(r.total_tokens_removed);
    out["total_merges_removed"] = make_int(r.total_merges_removed);
    out["removed"] = report.removed;
    out["spared"] = report.spared;
    return out;
}

py::list context_samples() {
    py::list out;
    for (auto family : {ScriptFamily::kSpaced, ScriptFamily::kChinese, ScriptFamily::kJapanese, ScriptFamily::kThai,
                        ScriptFamily::kLao, ScriptFamily::kKhmer, ScriptFamily::kMyanmar, ScriptFamily::kTibetan})
        for (auto [context, name] : kContextNames) {
            if (!(contexts_of_family(family) & context)) continue;
            ContextText text = context_text(family, context);
            py::dict d;
            d["script"] = script_family_name(family);
            d["context"] = name;
            d["before"] = python::make_str(text.before);
            d["after"] = python::make_str(text.after);
            out.append(d);
        }
    return out;
}

py::list read_words(EditorObject& editor, py::handle words_object, const std::string& reading, py::handle forms) {
    ReadingOptions options = reading_options(reading, forms);
    python::SharedBorrow borrow(editor);
    std::vector<std::string> words = python::to_str_list(words_object, "words");
    TextPipelineRun text(borrow.state());
    WordReader reader(borrow.state(), text.splitter.get());
    py::list out;
    for (const std::string& word : words) {
        WordReading read = reader.read(word, options);
        py::dict d;
        d["given"] = read.given;
        d["read_as"] = read.read_as_text ? "text" : "stored";
        d["forms"] = form_list(read.chosen);
        d["other_forms"] = form_list(read.other_forms);
        d["refused"] = read.refused;
        out.append(d);
    }
    return out;
}

py::list resolve_tokens(EditorObject& editor, py::handle given_object, const std::string& reading) {
    WordReadingMode mode = reading_mode(reading);
    python::SharedBorrow borrow(editor);
    std::vector<std::string> given = python::to_str_list(given_object, "tokens");
    TextPipelineRun text(borrow.state());
    WordReader reader(borrow.state(), text.splitter.get());
    py::list out;
    for (const std::string& item : given) {
        ResolvedToken resolved = reader.resolve(item, mode);
        py::dict d;
        d["given"] = resolved.given;
        d["read_as"] = resolved.read_as_text ? "text" : "stored";
        d["tokens"] = python::make_str_list(resolved.tokens);
        out.append(d);
    }
    return out;
}

py::list measure_tokens(EditorObject& editor, py::handle tokens_object) {
    python::SharedBorrow borrow(editor);
    std::vector<std::string> tokens = python::to_str_list(tokens_object, "tokens");
    TextPipelineRun text(borrow.state());
    py::list out;
    for (const FixedSizeWord& word : measure_stored_tokens(borrow.state(), tokens, text.splitter.get())) {
        py::dict d;
        d["token"] = word.token;
        d["contexts"] = context_list(word.contexts);
        d["produced_in"] = context_list(word.produced_in);
        d["measured_in_text"] = word.measured_in_text;
        d["produced_whole"] = word.produced_whole;
        d["pre_tokenizer"] = verdict_name(word.pre_tokenizer);
        out.append(d);
    }
    return out;
}

py::tuple pre_token_check(EditorObject& editor, py::handle words_object) {
    python::SharedBorrow borrow(editor);
    std::vector<std::string> words = python::to_str_list(words_object, "words");
    PreTokenCheck check(borrow.state());
    py::list verdicts;
    for (const std::string& word : words) verdicts.append(verdict_name(check.check(word)));
    return py::make_tuple(verdicts, check.undecided_by());
}

}  // namespace

void register_usage(py::module_& module) {
    module.def("add_tokens", &add_tokens_recorded, py::arg("editor"), py::arg("tokens"),
               py::arg("method") = "reachable", py::arg("keep_size") = false, py::arg("whitelist") = py::none(), py::arg("min_id") = 0,
               py::arg("counts") = py::none(), py::arg("add_unknown_characters") = py::none(),
               py::arg("reading") = "stored", py::arg("forms") = py::none(),
               "Add tokens in order; with keep_size each new entry takes the id of a token evicted for it.");
    module.def("read_words", &read_words, py::arg("editor"), py::arg("words"), py::arg("reading") = "auto",
               py::arg("forms") = py::none(),
               "How typed words are read: as text (turned into the forms the runtime meets) or as stored.");
    module.def("resolve_tokens", &resolve_tokens, py::arg("editor"), py::arg("tokens"), py::arg("reading") = "auto",
               "The entries each given text names: a stored token, the text a display shows, or a typed word.");
    module.def("measure_tokens", &measure_tokens, py::arg("editor"), py::arg("tokens"),
               "Where running text meets each stored token, and where the model produces it whole there.");
    module.def("prune", &prune, py::arg("editor"), py::arg("counts"), py::arg("size") = py::none(),
               py::arg("min_count") = py::none(), py::arg("keep") = py::none(), py::arg("min_id") = 0,
               py::arg("room_for_outside_added_tokens") = false,
               "Remove the least used tokens, with what depends on them, down to a size or a count.");
    module.def("shrink_sparing", &shrink_sparing, py::arg("editor"), py::arg("count"), py::arg("min_id") = 0,
               py::arg("keep") = py::list(),
               "Shrink by the longest tokens, sparing added tokens, `keep` and whatever their cascades would reach.");
    module.def("pre_token_check", &pre_token_check, py::arg("editor"), py::arg("words"),
               "Whether the pre-tokenizer keeps each word whole: (\"whole\" | \"split\" | \"undecided\" per "
               "word, what it could not judge).");
    module.def("context_samples", &context_samples,
               "The sample texts typed words are placed in: script, context, the text before and after the word.");
}

}  // namespace vocarix::tools
