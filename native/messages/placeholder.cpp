#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "brindlewick.messages", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_messages(void) { return PyModuleDef_Init(&def); }
