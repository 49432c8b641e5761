// A pybind11 module that the tests build beside veldspray_cbor, with the same
// compiler and pybind11, so that the two share pybind11's process-wide
// internals. It registers a translator there that takes every C++ exception;
// none of dumps's errors may come out as its NeighbourError.
#include <pybind11/pybind11.h>

#include <exception>

PYBIND11_MODULE(neighbour, module)
{
    static const pybind11::exception<std::exception> error(module, "NeighbourError");
    pybind11::register_exception_translator([](std::exception_ptr thrown) {
        try {
            std::rethrow_exception(thrown);
        } catch (const std::exception &caught) {
            PyErr_SetString(error.ptr(), caught.what());
        }
    });
}
