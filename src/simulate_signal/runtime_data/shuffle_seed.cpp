// The era's shuffle seed: "shuffle_seed.enc" in the synced data directory.
//
// The seed is enciphered and opaque here: it is read whole in binary mode,
// checked for type and length and handed on unchanged. It is never decoded,
// logged or kept.
#include "frame/frame.hpp"
#include "runtime_data/runtime_data.hpp"

namespace simsig {

namespace {

constexpr Py_ssize_t kShuffleSeedLength = 60;

const char *const kSeedMissing =
    "shuffle_seed.enc is required for simulation reconstruction. Run data sync or pass a sync "
    "manager/data_dir that exposes the synced seed.";

// with open(path, "rb") as handle: return handle.read()
ref read_binary_file(nb::handle path) {
    // The loaded builtins module, as importing it would return it.
    ref builtins = nb::steal(PyImport_GetModule(name("builtins").ptr()));
    if (!builtins) {
        if (PyErr_Occurred())
            throw nb::python_error();
        builtins = import_module("builtins");
    }
    ref handle = attr(builtins, "open")(path, "rb");
    ref content;
    ref failure = catch_exception([&] { content = attr(handle, "read")(); }, PyExc_BaseException);
    attr(handle, "close")();
    if (failure)
        raise_object(failure);
    return content;
}

nb::object load_runtime_shuffle_blob(const Call &a) {
    nb::handle data_dir = a[0];
    if (truthy(data_dir)) {
        ref os_path = attr(global("os"), "path");
        ref shuffle_seed_path = attr(os_path, "join")(data_dir, "shuffle_seed.enc");
        if (truthy(attr(os_path, "exists")(shuffle_seed_path)))
            return helper("_validate_shuffle_blob", read_binary_file(shuffle_seed_path));
    }
    raise(PyExc_FileNotFoundError, kSeedMissing);
}

// A new immutable bytes of exactly 60 bytes (a bytearray is copied).
nb::object validate_shuffle_blob(const Call &a) {
    nb::handle blob = a[0];
    if (!PyBytes_Check(blob.ptr()) && !PyByteArray_Check(blob.ptr()))
        raise(PyExc_TypeError, "shuffle_seed.enc must be bytes");
    Py_ssize_t length = PyObject_Size(blob.ptr());
    if (length < 0)
        throw nb::python_error();
    if (length != kShuffleSeedLength)
        raise(PyExc_ValueError, format("Shuffle seed must be 60 bytes, got %zd", length));
    return nb::handle((PyObject *) &PyBytes_Type)(blob);
}

} // namespace

void define_shuffle_seed_functions() {
    def_function("_load_runtime_shuffle_blob", {arg("data_dir")}, load_runtime_shuffle_blob);
    def_function("_validate_shuffle_blob", {arg("shuffle_blob")}, validate_shuffle_blob);
}

} // namespace simsig
