// The embedded interpreter's standard-error object, pointed at the pipe.
#pragma once

namespace platform {

// Makes the interpreter's sys.stderr write into the handle behind the
// launcher's own standard-error stream (after that stream was reopened onto
// the pipe). True when it did, or when no interpreter is loaded in the process.
bool bind_interpreter_stderr();

}  // namespace platform
