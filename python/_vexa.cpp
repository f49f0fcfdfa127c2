// vexa._vexa: the library's C API as a CPython extension. The public names
// (compress, decompress, VexaError, VexaTruncatedError) are re-exported by
// the vexa package; the rest serves vexa.VexaFile: compress_stream for
// writing on close(), and Reader, the library's pull reader over a file
// object.
//
// Coding always runs with the GIL released, on memory that the caller's
// buffer export keeps alive. Contexts come from a small pool: a fresh one is
// an mmap whose tables every run faults in again, about 80 us of CPU time,
// half as much again as compressing 100 bytes on a warm one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

#include "format/format.hpp"
#include "vexa.h"

namespace {

PyObject* vexa_error = nullptr;       // vexa.VexaError, an OSError
PyObject* truncated_error = nullptr;  // vexa.VexaTruncatedError, also an EOFError

// ---------------------------------------------------------------- contexts

// Idle contexts kept for the next call. Each keeps the pages its runs
// touched, up to about 5 MiB, so only a few are kept: enough for as many
// threads as coding usually runs on at once; beyond that a call pays for a
// fresh one. Contexts are taken and given back with the GIL held, so a
// fork never finds the lock held by another thread.
constexpr int POOL_SIZE = 4;
std::mutex pool_lock;
vexa_ctx* pool[POOL_SIZE];
int pool_count = 0;

vexa_ctx* take_context() {
    {
        std::lock_guard<std::mutex> hold(pool_lock);
        if (pool_count > 0) return pool[--pool_count];
    }
    return vexa_create();
}

void give_context(vexa_ctx* ctx) {
    {
        std::lock_guard<std::mutex> hold(pool_lock);
        if (pool_count < POOL_SIZE) {
            pool[pool_count++] = ctx;
            return;
        }
    }
    vexa_free(ctx);
}

void free_pool(void*) {
    std::lock_guard<std::mutex> hold(pool_lock);
    while (pool_count > 0) vexa_free(pool[--pool_count]);
}

// Sets the Python exception for a failed status and returns null. For a
// reader that has restored some streams, `complete` is where the last of
// them ends in its input: what a caller can still keep.
PyObject* raise_status(int status, std::uint64_t complete = 0) {
    switch (status) {
        case VEXA_ERROR_MEMORY: return PyErr_NoMemory();
        case VEXA_ERROR_TOO_LARGE: PyErr_SetString(PyExc_ValueError, vexa_strerror(status)); return nullptr;
        case VEXA_ERROR_ARGUMENT:
        case VEXA_ERROR_DST_TOO_SMALL: PyErr_SetString(PyExc_SystemError, vexa_strerror(status)); return nullptr;
        default: break;
    }
    PyObject* const type = status == VEXA_ERROR_TRUNCATED ? truncated_error : vexa_error;
    if (complete > 0) {
        PyErr_Format(type, "%s (the last complete stream ends at byte %llu of the compressed data)",
                     vexa_strerror(status), static_cast<unsigned long long>(complete));
    } else {
        PyErr_SetString(type, vexa_strerror(status));
    }
    return nullptr;
}

// Releases a buffer export however the function leaves.
struct BufferHold {
    Py_buffer view{};
    bool held = false;
    bool get(PyObject* obj, int flags) { return held = PyObject_GetBuffer(obj, &view, flags) == 0; }
    ~BufferHold() {
        if (held) PyBuffer_Release(&view);
    }
};

// ------------------------------------------------------ compress/decompress

struct SpanReader {
    const std::uint8_t* data;
    std::size_t left;
};

std::ptrdiff_t read_span(void* user, void* buf, std::size_t capacity) {
    auto& r = *static_cast<SpanReader*>(user);
    const std::size_t n = std::min(capacity, r.left);
    if (n > 0) std::memcpy(buf, r.data, n);   // an empty input may have no address
    r.data += n;
    r.left -= n;
    return static_cast<std::ptrdiff_t>(n);
}

// Fills a bytes object that is not yet shared. It starts a little larger
// than the input: near-random data gains about 0.25 %, so only inputs of a
// few bytes (whose header and flush outweigh them) and data built against
// the models outgrow it. Growing takes the GIL back, as resizing a Python
// object needs it. The worst case, 13 times the input, is never reserved:
// for large inputs it could exceed the machine's memory.
struct BytesWriter {
    PyObject* out;
    std::size_t size;
    std::size_t capacity;
    PyThreadState* released;
};

int write_bytes(void* user, const void* buf, std::size_t size) {
    auto& w = *static_cast<BytesWriter*>(user);
    if (size > w.capacity - w.size) {
        const std::size_t want = std::max(w.size + size, w.capacity + w.capacity / 2);
        if (want > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return -1;
        PyEval_RestoreThread(w.released);
        const bool grown = _PyBytes_Resize(&w.out, static_cast<Py_ssize_t>(want)) == 0;
        w.released = PyEval_SaveThread();
        if (!grown) return -1;   // MemoryError is set, and out is null
        w.capacity = want;
    }
    std::memcpy(PyBytes_AS_STRING(w.out) + w.size, buf, size);
    w.size += size;
    return 0;
}

PyDoc_STRVAR(compress_doc,
"compress(data, /)\n--\n\n"
"Compress a bytes-like object and return the compressed bytes.\n\n"
"Any object with the buffer protocol is read in place (bytes, bytearray,\n"
"memoryview, array.array, C-contiguous numpy arrays). The result is the\n"
"same as the vexa program writes for a file of the same bytes. Inputs of\n"
"4 GiB or more raise ValueError.");

PyObject* compress(PyObject*, PyObject* data) {
    BufferHold in;
    if (!in.get(data, PyBUF_SIMPLE)) return nullptr;
    const auto n = static_cast<std::size_t>(in.view.len);
    if (n > VEXA_MAX_INPUT_LENGTH) return raise_status(VEXA_ERROR_TOO_LARGE);
    const std::size_t guess = n + n / 64 + 16;
    BytesWriter w{PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(guess)), 0, guess, nullptr};
    if (w.out == nullptr) return nullptr;
    vexa_ctx* const ctx = take_context();
    if (ctx == nullptr) {
        Py_DECREF(w.out);
        return PyErr_NoMemory();
    }
    SpanReader r{static_cast<const std::uint8_t*>(in.view.buf), n};
    w.released = PyEval_SaveThread();
    const int status = vexa_compress_stream(ctx, n, read_span, &r, write_bytes, &w, nullptr);
    PyEval_RestoreThread(w.released);
    give_context(ctx);
    if (status != VEXA_OK) {
        if (w.out == nullptr) return nullptr;   // growing it failed
        Py_DECREF(w.out);
        return raise_status(status);
    }
    // Shrinking is done in place (or by remapping pages): no copy.
    if (_PyBytes_Resize(&w.out, static_cast<Py_ssize_t>(w.size)) != 0) return nullptr;
    return w.out;
}

// Every restored byte of a reader's input, in a bytes object that grows as
// they are decoded. A stream's stored length is only a claim until its data
// has been decoded (24 bytes can claim 4 GiB), so it never sizes the result:
// memory follows what is really restored. Doubling keeps the copies few, and
// realloc moves the pages of a large object rather than its bytes.
constexpr std::size_t FIRST_CAPACITY = vexa::BLOCK_CAPACITY;   // one block

struct Restored {
    PyObject* out = nullptr;   // null until the first byte has room
    std::size_t size = 0;
    std::size_t capacity = 0;

    ~Restored() { Py_XDECREF(out); }

    // The bytes restored, the object handed over.
    PyObject* finish() {
        if (out == nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
        // Shrinking is done in place: no copy.
        if (size < capacity && _PyBytes_Resize(&out, static_cast<Py_ssize_t>(size)) != 0) return nullptr;
        return std::exchange(out, nullptr);
    }
};

// Pulls the reader on ctx dry with the GIL released (`released` is the
// thread state, shared with any read function that takes the GIL back, as
// growing the object does). Returns 0 at the end of the data, the reader's
// failure, or VEXA_ERROR_MEMORY with MemoryError set. `first` is the first
// capacity: one more than the bytes expected, so that the reader tells the
// end without a second allocation.
std::ptrdiff_t pull_all(vexa_ctx* ctx, Restored& r, std::size_t first, PyThreadState*& released) {
    while (true) {
        if (r.size == r.capacity) {
            const std::size_t want = r.out == nullptr ? first : std::max(2 * r.capacity, FIRST_CAPACITY);
            if (want > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return VEXA_ERROR_MEMORY;
            PyEval_RestoreThread(released);
            const bool grown = r.out == nullptr
                ? (r.out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(want))) != nullptr
                : _PyBytes_Resize(&r.out, static_cast<Py_ssize_t>(want)) == 0;
            released = PyEval_SaveThread();
            if (!grown) return VEXA_ERROR_MEMORY;
            r.capacity = want;
        }
        const std::ptrdiff_t n = vexa_reader_read(ctx, PyBytes_AS_STRING(r.out) + r.size, r.capacity - r.size);
        if (n <= 0) return n;
        r.size += static_cast<std::size_t>(n);
    }
}

PyDoc_STRVAR(decompress_doc,
"decompress(data, /)\n--\n\n"
"Restore the bytes of the compressed data in a bytes-like object: every\n"
"stream of it, one after another, as concatenated files hold them.\n\n"
"Zero bytes may follow the last stream, as padding; anything else there\n"
"raises VexaError, as does data that holds values that no compressor\n"
"writes. Data that ends inside a stream raises VexaTruncatedError, both a\n"
"VexaError and an EOFError. Memory grows with the bytes really restored,\n"
"never with the lengths that the data claims. The format has no checksum:\n"
"most other damage restores wrong bytes without an error.");

PyObject* decompress(PyObject*, PyObject* data) {
    BufferHold in;
    if (!in.get(data, PyBUF_SIMPLE)) return nullptr;
    vexa_ctx* const ctx = take_context();
    if (ctx == nullptr) return PyErr_NoMemory();
    SpanReader source{static_cast<const std::uint8_t*>(in.view.buf), static_cast<std::size_t>(in.view.len)};
    vexa_reader_open(ctx, read_span, &source, 0);
    // The first stream's claim, bounded by a block, sizes the start: most
    // data is one stream, restored then without growing.
    std::uint64_t claim = 0;
    vexa_stored_length(in.view.buf, static_cast<std::size_t>(in.view.len), &claim);
    const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(claim, FIRST_CAPACITY)) + 1;
    Restored restored;
    PyThreadState* released = PyEval_SaveThread();
    const std::ptrdiff_t status = pull_all(ctx, restored, first, released);
    const std::uint64_t complete = vexa_reader_complete_size(ctx);
    vexa_reader_close(ctx);
    PyEval_RestoreThread(released);
    give_context(ctx);
    if (status == 0) return restored.finish();
    if (PyErr_Occurred()) return nullptr;
    return raise_status(static_cast<int>(status), complete);
}

// ----------------------------------------------------------------- callbacks

// Python callables as the library's reader and writer. The run holds no GIL;
// each call takes it back for as long as the callable runs. The first
// exception raised is kept and re-raised when the run has ended.
struct CallbackEnds {
    PyObject* readinto;
    PyObject* write;
    PyThreadState* released;
    PyObject* error;   // (type, value, traceback) of the first failure
    PyObject* error_value;
    PyObject* error_traceback;
};

void keep_error(CallbackEnds& e) {
    if (e.error == nullptr) {
        PyErr_Fetch(&e.error, &e.error_value, &e.error_traceback);
    } else {
        PyErr_Clear();
    }
}

std::ptrdiff_t read_callback(void* user, void* buf, std::size_t capacity) {
    auto& e = *static_cast<CallbackEnds*>(user);
    PyEval_RestoreThread(e.released);
    std::ptrdiff_t got = -1;
    // The buffer is the library's: a readinto that kept the view would
    // write into it later. Releasing the view fails (BufferError) while
    // anything still holds it, and so does the read.
    PyObject* view = PyMemoryView_FromMemory(static_cast<char*>(buf), static_cast<Py_ssize_t>(capacity), PyBUF_WRITE);
    PyObject* result = view != nullptr ? PyObject_CallOneArg(e.readinto, view) : nullptr;
    if (result != nullptr) {
        const Py_ssize_t n = result == Py_None ? -1 : PyLong_AsSsize_t(result);
        if (n >= 0 && static_cast<std::size_t>(n) <= capacity) {
            got = n;
        } else if (result == Py_None) {
            PyErr_SetString(PyExc_ValueError, "readinto() returned None: a non-blocking source without data");
        } else if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "readinto() returned an impossible count");
        }
        Py_DECREF(result);
    }
    if (got < 0) keep_error(e);   // before release() runs: no call with an exception set
    if (view != nullptr) {
        PyObject* done = PyObject_CallMethod(view, "release", nullptr);
        if (done == nullptr) {
            got = -1;
            keep_error(e);
        }
        Py_XDECREF(done);
        Py_DECREF(view);
    }
    e.released = PyEval_SaveThread();
    return got;
}

// The writer gets bytes objects of its own: it may keep them.
int write_callback(void* user, const void* buf, std::size_t size) {
    auto& e = *static_cast<CallbackEnds*>(user);
    PyEval_RestoreThread(e.released);
    int status = -1;
    PyObject* chunk = PyBytes_FromStringAndSize(static_cast<const char*>(buf), static_cast<Py_ssize_t>(size));
    PyObject* result = chunk != nullptr ? PyObject_CallOneArg(e.write, chunk) : nullptr;
    Py_XDECREF(chunk);
    if (result != nullptr) {
        status = 0;
        Py_DECREF(result);
    } else {
        keep_error(e);
    }
    e.released = PyEval_SaveThread();
    return status;
}

PyDoc_STRVAR(compress_stream_doc,
"compress_stream(size, readinto, write, /)\n--\n\n"
"Compress exactly `size` bytes taken from readinto(buffer) -> int into\n"
"write(bytes), 64 KiB at a time, and return the compressed size.\n"
"readinto must not keep the buffer it is given. An exception raised by\n"
"either callable ends the run and is raised again here.");

PyObject* compress_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "compress_stream() takes 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    const unsigned long long size = PyLong_AsUnsignedLongLong(args[0]);
    if (size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    if (!PyCallable_Check(args[1]) || !PyCallable_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "compress_stream() needs two callables");
        return nullptr;
    }
    vexa_ctx* const ctx = take_context();
    if (ctx == nullptr) return PyErr_NoMemory();
    CallbackEnds e{args[1], args[2], nullptr, nullptr, nullptr, nullptr};
    std::uint64_t written = 0;
    e.released = PyEval_SaveThread();
    const int status = vexa_compress_stream(ctx, size, read_callback, &e, write_callback, &e, &written);
    PyEval_RestoreThread(e.released);
    give_context(ctx);
    if (e.error != nullptr) {
        PyErr_Restore(e.error, e.error_value, e.error_traceback);
        return nullptr;
    }
    if (status != VEXA_OK) return raise_status(status);
    return PyLong_FromUnsignedLongLong(written);
}

// ---------------------------------------------------------------------- Reader

// The library's pull reader over a Python file object's readinto. It holds a
// context from its first read to the end of the data, an error or close();
// the context is all the memory it has, and no thread works for it. Each
// read releases the GIL while it decodes; the library calls readinto on the
// same thread, which takes the GIL back for the call.
struct Reader {
    PyObject_HEAD
    CallbackEnds ends;    // ends.readinto is null once closed
    vexa_ctx* ctx;        // null before the first read and after the data
    int failed;           // the status that ended a failed reader
    std::uint64_t complete;   // where its last complete stream ended
    bool at_end;
    bool busy;            // a call is in progress (with the GIL released)
};

void release_context(Reader* self) {
    if (self->ctx == nullptr) return;
    vexa_reader_close(self->ctx);
    give_context(self->ctx);
    self->ctx = nullptr;
}

void forget_error(Reader* self) {
    Py_CLEAR(self->ends.error);
    Py_CLEAR(self->ends.error_value);
    Py_CLEAR(self->ends.error_traceback);
}

// Records how a pull ended (n is the reader's last result, 0 or a failure).
void settle(Reader* self, std::ptrdiff_t n) {
    if (n == 0) {
        self->at_end = true;
    } else {
        self->failed = static_cast<int>(n);
        self->complete = vexa_reader_complete_size(self->ctx);
    }
    release_context(self);
}

// Raises the failure that ended the reader: the first time, the exception
// that readinto raised, if that was the cause.
PyObject* raise_failure(Reader* self) {
    if (self->ends.error != nullptr) {
        PyErr_Restore(self->ends.error, self->ends.error_value, self->ends.error_traceback);
        self->ends.error = self->ends.error_value = self->ends.error_traceback = nullptr;
        return nullptr;
    }
    return raise_status(self->failed, self->complete);
}

// Claims the reader for a call and opens the library's reader on the first.
bool enter(Reader* self) {
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "a vexa reader is in use by another thread");
        return false;
    }
    if (self->ends.readinto == nullptr) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on a closed reader");
        return false;
    }
    if (self->ctx == nullptr && !self->at_end && self->failed == VEXA_OK) {
        if ((self->ctx = take_context()) == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        vexa_reader_open(self->ctx, read_callback, &self->ends, 0);
    }
    self->busy = true;
    return true;
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* readinto;
    static const char* keywords[] = {"readinto", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Reader", const_cast<char**>(keywords), &readinto)) return nullptr;
    if (!PyCallable_Check(readinto)) {
        PyErr_SetString(PyExc_TypeError, "Reader() needs a callable readinto(buffer)");
        return nullptr;
    }
    auto* self = reinterpret_cast<Reader*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    Py_INCREF(readinto);
    self->ends.readinto = readinto;
    return reinterpret_cast<PyObject*>(self);
}

void Reader_dealloc(Reader* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    release_context(self);
    forget_error(self);
    Py_CLEAR(self->ends.readinto);
    type->tp_free(reinterpret_cast<PyObject*>(self));
    Py_DECREF(type);
}

int Reader_traverse(Reader* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self->ends.readinto);
    Py_VISIT(self->ends.error);
    Py_VISIT(self->ends.error_value);
    Py_VISIT(self->ends.error_traceback);
    return 0;
}

int Reader_clear(Reader* self) {
    forget_error(self);
    Py_CLEAR(self->ends.readinto);
    return 0;
}

PyDoc_STRVAR(Reader_readinto_doc,
"readinto(buffer, /)\n--\n\n"
"Fill a writable bytes-like object with restored bytes and return how many\n"
"were placed: fewer than its length only at the end of the data or before\n"
"a failure, which the next call raises. 0 at the end.");

PyObject* Reader_readinto(Reader* self, PyObject* arg) {
    BufferHold out;
    if (!out.get(arg, PyBUF_WRITABLE) || !enter(self)) return nullptr;
    auto* const dst = static_cast<std::uint8_t*>(out.view.buf);
    const auto want = static_cast<std::size_t>(out.view.len);
    std::size_t done = 0;
    if (self->ctx != nullptr && want > 0) {
        std::ptrdiff_t n = 0;
        self->ends.released = PyEval_SaveThread();
        while (done < want && (n = vexa_reader_read(self->ctx, dst + done, want - done)) > 0) {
            done += static_cast<std::size_t>(n);
        }
        PyEval_RestoreThread(self->ends.released);
        if (done < want) settle(self, n);
    }
    self->busy = false;
    // The bytes placed are correct whatever came after them: they are
    // handed out, and the failure waits for the next call.
    if (done == 0 && self->failed != VEXA_OK && want > 0) return raise_failure(self);
    return PyLong_FromSize_t(done);
}

PyDoc_STRVAR(Reader_readall_doc,
"readall()\n--\n\n"
"Every restored byte left, as bytes; raises if the data fails first.");

PyObject* Reader_readall(Reader* self, PyObject*) {
    if (!enter(self)) return nullptr;
    Restored restored;
    std::ptrdiff_t n = 0;
    if (self->ctx != nullptr) {
        self->ends.released = PyEval_SaveThread();
        n = pull_all(self->ctx, restored, FIRST_CAPACITY, self->ends.released);
        PyEval_RestoreThread(self->ends.released);
        settle(self, n);
    }
    self->busy = false;
    if (self->failed == VEXA_OK) return restored.finish();
    if (n == VEXA_ERROR_MEMORY && PyErr_Occurred()) return nullptr;
    return raise_failure(self);
}

PyDoc_STRVAR(Reader_close_doc,
"close()\n--\n\n"
"Stop reading and give back the context; later reads raise ValueError.");

PyObject* Reader_close(Reader* self, PyObject*) {
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "a vexa reader is in use by another thread");
        return nullptr;
    }
    release_context(self);
    forget_error(self);
    Py_CLEAR(self->ends.readinto);
    Py_RETURN_NONE;
}

PyObject* Reader_get_eof(Reader* self, void*) { return PyBool_FromLong(self->at_end); }

PyMethodDef reader_methods[] = {
    {"readinto", reinterpret_cast<PyCFunction>(Reader_readinto), METH_O, Reader_readinto_doc},
    {"readall", reinterpret_cast<PyCFunction>(Reader_readall), METH_NOARGS, Reader_readall_doc},
    {"close", reinterpret_cast<PyCFunction>(Reader_close), METH_NOARGS, Reader_close_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"eof", reinterpret_cast<getter>(Reader_get_eof), nullptr, "True once every stream has been restored.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(reader_doc,
"Reader(readinto)\n--\n\n"
"Restores every stream of the compressed data that readinto(buffer) -> int\n"
"supplies, one block (at most 512 KiB) at a time. Its memory is one context\n"
"(about 5 MiB of address space), held from the first read to the end of\n"
"the data, a failure or close(). readinto is called for up to 64 KiB at a\n"
"time, from inside this reader's calls only, and must not keep the buffer.");

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Reader_clear)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>(reader_doc)},
    {0, nullptr},
};

PyType_Spec reader_spec = {"vexa._vexa.Reader", sizeof(Reader), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                           reader_slots};

// ---------------------------------------------------------------------- module

PyMethodDef module_methods[] = {
    {"compress", compress, METH_O, compress_doc},
    {"decompress", decompress, METH_O, decompress_doc},
    {"compress_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compress_stream)), METH_FASTCALL,
     compress_stream_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(module_doc, "The vexa library's C API; use the vexa package.");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vexa._vexa", module_doc, -1, module_methods, nullptr, nullptr, nullptr, free_pool,
};

// Adds a new reference to the module, which takes it over.
int add_owned(PyObject* module, const char* name, PyObject* value) {
    const int status = value != nullptr ? PyModule_AddObjectRef(module, name, value) : -1;
    Py_XDECREF(value);
    return status;
}

}  // namespace

PyMODINIT_FUNC PyInit__vexa(void) {
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    // As gzip's BadGzipFile is an OSError, and bz2 and lzma raise EOFError
    // for data that ends early.
    vexa_error = PyErr_NewExceptionWithDoc(
        "vexa.VexaError",
        "Compressed data that is truncated, holds values that no compressor writes, or is followed by\n"
        "bytes other than zeros.",
        PyExc_OSError, nullptr);
    PyObject* const truncated_bases = vexa_error != nullptr ? PyTuple_Pack(2, vexa_error, PyExc_EOFError) : nullptr;
    truncated_error = truncated_bases != nullptr ? PyErr_NewExceptionWithDoc(
        "vexa.VexaTruncatedError",
        "Compressed data that ends inside a stream: a VexaError and an EOFError.",
        truncated_bases, nullptr) : nullptr;
    Py_XDECREF(truncated_bases);
    if (truncated_error == nullptr || PyModule_AddObjectRef(module, "VexaError", vexa_error) < 0 ||
        PyModule_AddObjectRef(module, "VexaTruncatedError", truncated_error) < 0 ||
        add_owned(module, "Reader", PyType_FromSpec(&reader_spec)) < 0 ||
        PyModule_AddStringConstant(module, "LIBRARY_VERSION", vexa_version()) < 0 ||
        add_owned(module, "MAX_INPUT_LENGTH", PyLong_FromUnsignedLongLong(VEXA_MAX_INPUT_LENGTH)) < 0 ||
        add_owned(module, "BLOCK_CAPACITY", PyLong_FromUnsignedLong(vexa::BLOCK_CAPACITY)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
