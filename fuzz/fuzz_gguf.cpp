// Fuzz target: arbitrary bytes as a GGUF model file.
//
// The header reader must refuse anything that lies with GgufError, and
// everything it accepts must hold together: a file written from the header
// it read (with the tensors' bytes copied, and an identity row plan for the
// vocabulary tensors) reads back to the same keys and tensors, and a
// tokenizer it finds turns into a document the editor reads. Any other
// exception, a crash or a sanitizer report is a bug.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "document/errors.hpp"
#include "formats/gguf/gguf_error.hpp"
#include "formats/gguf/gguf_format.hpp"
#include "formats/gguf/gguf_rewrite.hpp"
#include "gguf_model/gguf_tokenizer.hpp"
#include "state/loading.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_gguf: %s\n", what);
    std::abort();
}

// An anonymous file holding `size` bytes of `data`.
int memory_file(const void* data, std::size_t size) {
    int fd = ::memfd_create("fuzz_gguf", 0);
    if (fd < 0) fail("memfd_create failed");
    const char* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n <= 0) fail("writing the input failed");
        done += static_cast<std::size_t>(n);
    }
    return fd;
}

bool same_header(const vocarix::gguf::GgufHeader& a, const vocarix::gguf::GgufHeader& b) {
    if (a.metadata.size() != b.metadata.size() || a.tensors.size() != b.tensors.size()) return false;
    for (std::size_t i = 0; i < a.metadata.size(); ++i)
        if (a.metadata[i].key != b.metadata[i].key || a.metadata[i].value.bytes != b.metadata[i].value.bytes ||
            a.metadata[i].value.type != b.metadata[i].value.type)
            return false;
    for (std::size_t i = 0; i < a.tensors.size(); ++i)
        if (a.tensors[i].name != b.tensors[i].name || a.tensors[i].dims != b.tensors[i].dims ||
            a.tensors[i].type != b.tensors[i].type)
            return false;
    return true;
}

void check_rewrite(int fd, const vocarix::gguf::GgufHeader& header) {
    vocarix::weights::RowPlan plan;
    vocarix::gguf::GgufRewrite rewrite{header.metadata, {}, plan};
    const vocarix::gguf::TensorInfo* embedding = header.tensor("token_embd.weight");
    if (embedding && embedding->dims.size() == 2 && embedding->dims[1] <= 4096) {
        rewrite.resliced.push_back(embedding->name);
        plan.old_rows = embedding->dims[1];
        for (std::uint64_t row = 0; row < embedding->dims[1]; ++row)
            plan.rows.push_back({vocarix::weights::RowSource::Kind::kCopy, {row}});
    }
    int out = ::memfd_create("fuzz_gguf_out", 0);
    if (out < 0) fail("memfd_create failed");
    std::uint64_t written = 0;
    try {
        written = vocarix::gguf::write_rewritten_gguf(fd, header, out, rewrite, {}, "input", "output");
    } catch (const vocarix::gguf::GgufError&) {
        ::close(out);
        return;  // a tensor the plan cannot take (not two-dimensional)
    }
    try {
        vocarix::gguf::GgufHeader again = vocarix::gguf::read_gguf_header(out, written, "output");
        if (!same_header(header, again)) fail("the rewritten file reads back differently");
    } catch (const vocarix::gguf::GgufError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        fail("the rewritten file does not read back");
    }
    ::close(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int fd = memory_file(data, size);
    try {
        vocarix::gguf::GgufHeader header = vocarix::gguf::read_gguf_header(fd, size, "input");
        check_rewrite(fd, header);
        try {
            vocarix::gguf_model::GgufTokenizer tokenizer = vocarix::gguf_model::read_gguf_tokenizer(header, "input");
            auto state = vocarix::parse_tokenizer_text(vocarix::gguf_model::tokenizer_document(tokenizer),
                                                       vocarix::ReadMode::kLenient);
            vocarix::finish_loaded_document(*state);
        } catch (const vocarix::gguf::GgufError&) {
        } catch (const vocarix::DocumentError&) {
        }
    } catch (const vocarix::gguf::GgufError&) {
    }
    ::close(fd);
    return 0;
}
