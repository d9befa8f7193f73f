// Loads a tokenizer file repeatedly through the core library and prints the
// median time per phase: a profiling target without the interpreter.
//   load_bench FILE [REPEATS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "document/file_io.hpp"
#include "state/loading.hpp"
#include "document/json_writer.hpp"

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <class F>
double milliseconds(F&& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [REPEATS]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 10;
    std::vector<double> load, key_order, to_json, file_text, first_edit;
    for (int i = 0; i < repeats; ++i) {
        std::unique_ptr<vocarix::EditorState> state;
        load.push_back(milliseconds([&] { state = vocarix::load_tokenizer_file(path); }));
        key_order.push_back(milliseconds([&] { (void)state->key_order(); }));
        to_json.push_back(milliseconds([&] { (void)vocarix::write_document_text(*state); }));
        file_text.push_back(milliseconds([&] { (void)vocarix::write_document_file_text(*state); }));
        first_edit.push_back(milliseconds([&] { (void)state->first_producer(0); }));
    }
    std::printf("load %.1f ms  key order %.1f ms  to_json text %.1f ms  file text %.1f ms  merge index %.1f ms\n",
                median(load), median(key_order), median(to_json), median(file_text), median(first_edit));
    return 0;
}
