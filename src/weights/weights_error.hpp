// Failures of the weights layer that are the input's fault: a file that is not
// the safetensors it claims to be, or a plan that does not fit its tensors.
// Failures of the system (a file that cannot be opened, a full disk) are
// DocumentError, as in the document layer.
#pragma once

#include <stdexcept>
#include <string>

namespace vocarix::weights {

// One line that names the file (or the tensor) and what is wrong with it.
class WeightsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vocarix::weights
