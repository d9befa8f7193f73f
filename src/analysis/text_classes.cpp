#include "analysis/text_classes.hpp"

namespace vocarix {

const TextClasses& text_classes() {
    static const TextClasses classes;
    return classes;
}

}  // namespace vocarix
