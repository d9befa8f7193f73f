#include "learning/running_text_splitter.hpp"

#include "learning/word_counting.hpp"

namespace vocarix {
namespace {

class PipelineSplitter : public TextSplitter {
public:
    PipelineSplitter(const EditorState& state, UnicodeForms* forms) : counter_(state, forms) {}
    bool words_of(std::string_view text, std::vector<std::string>& words) override {
        const std::uint64_t added = counter_.added_tokens().total();
        counter_.words_of_line(text, words);
        return counter_.added_tokens().total() == added;
    }

private:
    WordCounter counter_;
};

}  // namespace

std::unique_ptr<TextSplitter> make_text_splitter(const EditorState& state, UnicodeForms* forms,
                                                 std::string& unsupported) {
    unsupported.clear();
    try {
        return std::make_unique<PipelineSplitter>(state, forms);
    } catch (const UnsupportedSetting& error) {
        unsupported = error.what();
        return nullptr;
    }
}

}  // namespace vocarix
