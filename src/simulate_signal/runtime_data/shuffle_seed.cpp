// The era's shuffle seed: "shuffle_seed.enc" in the synced data directory.
//
// The seed is enciphered and opaque here: it is read whole in binary mode,
// checked for type and length and handed on unchanged. It is never decoded,
// logged or kept.
#include "frame/calls.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "runtime_data/runtime_data.hpp"

#include <cstdio>
#include <string>

namespace simsig {

namespace {

constexpr Py_ssize_t kShuffleSeedLength = 60;
constexpr const char *kSeedFile = "shuffle_seed.enc";

// ---------------------------------------------------------------------------
// The standard library as imported at set-up. While the namespace's `os`, its
// `path` functions and builtins.open are these very objects and the data
// directory is a plain str, os.path.join, os.path.exists and reading the
// file are done here directly, with the same results and the same errors.

struct Stdlib {
    PyObject *os = nullptr, *path_join = nullptr, *path_exists = nullptr, *open = nullptr;
};
Stdlib g_stdlib;

bool stdlib_as_imported(nb::handle os) {
    if (os.ptr() != g_stdlib.os)
        return false;
    ref os_path = module_attr(os, "path");
    return module_attr(os_path, "join").ptr() == g_stdlib.path_join &&
           module_attr(os_path, "exists").ptr() == g_stdlib.path_exists;
}

ref builtins_module() {
    ref builtins = nb::steal(PyImport_GetModule(name("builtins").ptr()));
    if (!builtins) {
        if (PyErr_Occurred())
            throw nb::python_error();
        builtins = import_module("builtins");
    }
    return builtins;
}

// posixpath.join(directory, "shuffle_seed.enc") for a str directory.
ref joined_seed_path(nb::handle directory) {
    Py_ssize_t length = PyUnicode_GetLength(directory.ptr());
    bool separator = length > 0 && PyUnicode_ReadChar(directory.ptr(), length - 1) != '/';
    ref tail = nb::str(separator ? "/shuffle_seed.enc" : kSeedFile);
    PyObject *joined = PyUnicode_Concat(directory.ptr(), tail.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal(joined);
}

// The path as the file system takes it (UTF-16 on Windows, the file system
// encoding's bytes elsewhere); empty when it holds a NUL character.
#if defined(_WIN32)
using FsPath = std::wstring;
FsPath fs_path(nb::handle path) {
    Py_ssize_t size = 0;
    wchar_t *wide = PyUnicode_AsWideCharString(path.ptr(), &size);
    if (!wide)
        throw nb::python_error();
    FsPath out(wide, (size_t) size);
    PyMem_Free(wide);
    return out.find(L'\0') == FsPath::npos ? out : FsPath();
}
#else
using FsPath = std::string;
FsPath fs_path(nb::handle path) {
    ref encoded = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded)
        throw nb::python_error();
    FsPath out(PyBytes_AsString(encoded.ptr()), (size_t) PyBytes_Size(encoded.ptr()));
    return out.find('\0') == FsPath::npos ? out : FsPath();
}
#endif

// open(path, "rb").read() of a file that opens and reads here; null
// otherwise (missing, a directory, unreadable): Python then answers as it
// does, with its own errors. C stdio, not iostreams: no locale to set up.
ref read_file_directly(nb::handle path) {
    FsPath p = fs_path(path);
    if (p.empty())
        return ref();
#if defined(_WIN32)
    std::FILE *file = _wfopen(p.c_str(), L"rb");
#else
    std::FILE *file = std::fopen(p.c_str(), "rb");
#endif
    if (!file)
        return ref();
    std::setvbuf(file, nullptr, _IONBF, 0);  // read straight into `buffer`: no stream buffer
    std::string content;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, n);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return ref();
    return nb::steal(PyBytes_FromStringAndSize(content.data(), (Py_ssize_t) content.size()));
}

const char *const kSeedMissing =
    "shuffle_seed.enc is required for simulation reconstruction. Run data sync or pass a sync "
    "manager/data_dir that exposes the synced seed.";

// with open(path, "rb") as handle: return handle.read()
ref read_binary_file(nb::handle path) {
    ref open = attr(builtins_module(), "open");
    ref handle = open(path, "rb");
    ref content;
    ref failure = catch_exception([&] { content = attr(handle, "read")(); }, PyExc_BaseException);
    attr(handle, "close")();
    if (failure)
        raise_object(failure);
    return content;
}

} // namespace

ref load_runtime_shuffle_blob(nb::handle data_dir) {
    if (nb::bool_(data_dir)) {
        ref os = global(G::os);
        if (PyUnicode_CheckExact(data_dir.ptr()) && stdlib_as_imported(os)) {
            ref shuffle_seed_path = joined_seed_path(data_dir);
            // A file read here exists; anything else is asked of Python as it is.
            ref content;
            if (attr(builtins_module(), "open").ptr() == g_stdlib.open)
                content = read_file_directly(shuffle_seed_path);
            if (!content && nb::bool_(call(nb::handle(g_stdlib.path_exists), shuffle_seed_path)))
                content = read_binary_file(shuffle_seed_path);
            if (content)
                return call_helper<validate_shuffle_blob>(content);
        } else {
            ref os_path = attr(os, "path");
            ref shuffle_seed_path = attr(os_path, "join")(data_dir, kSeedFile);
            if (nb::bool_(attr(os_path, "exists")(shuffle_seed_path)))
                return call_helper<validate_shuffle_blob>(read_binary_file(shuffle_seed_path));
        }
    }
    raise(PyExc_FileNotFoundError, kSeedMissing);
}

// A new immutable bytes of exactly 60 bytes (a bytearray is copied).
ref validate_shuffle_blob(nb::handle blob) {
    if (!PyBytes_Check(blob.ptr()) && !PyByteArray_Check(blob.ptr()))
        raise(PyExc_TypeError, "shuffle_seed.enc must be bytes");
    Py_ssize_t length = PyObject_Size(blob.ptr());
    if (length < 0)
        throw nb::python_error();
    if (length != kShuffleSeedLength)
        raise(PyExc_ValueError, format("Shuffle seed must be 60 bytes, got %zd", length));
    return nb::handle((PyObject *) &PyBytes_Type)(blob);
}

void define_shuffle_seed_functions() {
    ref os = global(G::os);
    ref os_path = attr(os, "path");
    g_stdlib.os = os.inc_ref().ptr();
    g_stdlib.path_join = attr(os_path, "join").release().ptr();
    g_stdlib.path_exists = attr(os_path, "exists").release().ptr();
    g_stdlib.open = attr(builtins_module(), "open").release().ptr();
    def_helper<load_runtime_shuffle_blob>("_load_runtime_shuffle_blob", {arg("data_dir")});
    def_helper<validate_shuffle_blob>("_validate_shuffle_blob", {arg("shuffle_blob")});
}

} // namespace simsig
