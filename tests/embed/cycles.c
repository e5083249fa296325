/* Runs each argument as Python code in an interpreter of its own: Py_Initialize,
 * the code, Py_FinalizeEx, then the next argument in a new runtime, as a program
 * that embeds Python and restarts it does. Exits 1 at the first failing code. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        Py_Initialize();
        const int failed = PyRun_SimpleString(argv[i]) != 0;
        if (Py_FinalizeEx() < 0 || failed) {
            fprintf(stderr, "cycle %d failed\n", i);
            return 1;
        }
        fflush(stdout);
    }
    return 0;
}
