#include "error_kind.hpp"

namespace pytovrik::file {
namespace {

thread_local ErrorKind NOTED = ErrorKind::None;

}  // namespace

void note_error_kind(ErrorKind kind) { NOTED = kind; }

ErrorKind take_error_kind(ErrorKind otherwise) {
    const ErrorKind noted = NOTED;
    NOTED = ErrorKind::None;
    return noted == ErrorKind::None ? otherwise : noted;
}

}  // namespace pytovrik::file
