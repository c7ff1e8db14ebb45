// The interpreter's own command line, in an executable linked as the
// launcher is: `bench_python_main -I -S -c pass` starts the same
// interpreter code as the launcher and does only what python3.11 does.
#include <Python.h>

int main(int argc, char** argv) { return Py_BytesMain(argc, argv); }
