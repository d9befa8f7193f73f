// A stretch of a text, in bytes, and where producers of such stretches
// hand them one at a time.
#pragma once

#include <concepts>
#include <cstddef>
#include <type_traits>

namespace vocarix {

struct TextSpan {
    std::size_t begin, end;  // bytes
};

// A callback taking spans, cheap to pass by value: it refers to a callable
// that must outlive it (give it a named lambda).
class SpanSink {
public:
    template <class F>
        requires(!std::same_as<std::remove_cv_t<F>, SpanSink> && std::invocable<F&, TextSpan>)
    SpanSink(F& f)  // NOLINT: implicit, so that a lambda passes where a sink is asked for
        : context_(&f), call_([](void* context, TextSpan span) { (*static_cast<F*>(context))(span); }) {}
    void operator()(TextSpan span) const { call_(context_, span); }

private:
    void* context_;
    void (*call_)(void*, TextSpan);
};

}  // namespace vocarix
