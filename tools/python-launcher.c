/* The interpreter executable that tools/install-cpython builds for Debian's
   CPython 3.14 and later. Debian links libpython into its own executable,
   which keeps a preloaded library from answering the interpreter's C API;
   this one takes every Py_ function from libpython3.X.so. */
#include <Python.h>

int main(int argc, char **argv)
{
    return Py_BytesMain(argc, argv);
}
