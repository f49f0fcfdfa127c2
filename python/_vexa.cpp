// vexa._vexa: the library's C API as a CPython extension. The public names
// (compress, decompress, VexaError) are re-exported by the vexa package; the
// rest serves vexa.VexaFile: compress_stream for writing on close(), and
// Decoder, the pull-style reader over the library's push-style stream.
//
// Coding always runs with the GIL released, on memory that the caller's
// buffer export keeps alive. Contexts come from a small pool: a fresh one is
// an mmap whose tables every run faults in again, about 80 us of CPU time,
// half as much again as compressing 100 bytes on a warm one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "vexa.h"

namespace {

PyObject* vexa_error = nullptr;   // vexa.VexaError

// ---------------------------------------------------------------- contexts

// Idle contexts kept for the next call. Each keeps the pages its runs
// touched, up to about 5 MiB, so only a few are kept: enough for as many
// threads as coding usually runs on at once; beyond that a call pays for a
// fresh one.
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

// Sets the Python exception for a failed status and returns null.
PyObject* raise_status(int status) {
    switch (status) {
        case VEXA_ERROR_MEMORY: return PyErr_NoMemory();
        case VEXA_ERROR_TOO_LARGE: PyErr_SetString(PyExc_ValueError, vexa_strerror(status)); break;
        case VEXA_ERROR_ARGUMENT:
        case VEXA_ERROR_DST_TOO_SMALL: PyErr_SetString(PyExc_SystemError, vexa_strerror(status)); break;
        default: PyErr_SetString(vexa_error, vexa_strerror(status)); break;
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

PyDoc_STRVAR(decompress_doc,
"decompress(data, /)\n--\n\n"
"Restore the bytes of a compressed stream held in a bytes-like object.\n\n"
"Bytes after the end of the stream are ignored. Raises VexaError when the\n"
"data is truncated or holds values that no compressor writes. The format\n"
"has no checksum: most other damage restores wrong bytes without an error.");

PyObject* decompress(PyObject*, PyObject* data) {
    BufferHold in;
    if (!in.get(data, PyBUF_SIMPLE)) return nullptr;
    // The stored length sizes the result exactly. Fewer than 4 bytes are
    // left to the library to report, as it does for the command line.
    std::uint64_t length = 0;
    vexa_stored_length(in.view.buf, static_cast<std::size_t>(in.view.len), &length);
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (out == nullptr) return nullptr;
    vexa_ctx* const ctx = take_context();
    if (ctx == nullptr) {
        Py_DECREF(out);
        return PyErr_NoMemory();
    }
    std::size_t got = 0;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = vexa_decompress(ctx, in.view.buf, static_cast<std::size_t>(in.view.len), PyBytes_AS_STRING(out),
                             static_cast<std::size_t>(length), &got);
    Py_END_ALLOW_THREADS
    give_context(ctx);
    if (status != VEXA_OK) {
        Py_DECREF(out);
        return raise_status(status);
    }
    return out;
}

PyDoc_STRVAR(stored_length_doc,
"stored_length(data, /)\n--\n\n"
"The uncompressed length stored in the first 4 bytes of a compressed\n"
"stream. Raises VexaError for fewer than 4 bytes.");

PyObject* stored_length(PyObject*, PyObject* data) {
    BufferHold in;
    if (!in.get(data, PyBUF_SIMPLE)) return nullptr;
    std::uint64_t length = 0;
    const int status = vexa_stored_length(in.view.buf, static_cast<std::size_t>(in.view.len), &length);
    if (status != VEXA_OK) return raise_status(status);
    return PyLong_FromUnsignedLongLong(length);
}

// ------------------------------------------------------------ compress_stream

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
    // The view is released before returning; the only caller is VexaFile,
    // whose temporary file does not keep it.
    PyObject* view = PyMemoryView_FromMemory(static_cast<char*>(buf), static_cast<Py_ssize_t>(capacity), PyBUF_WRITE);
    PyObject* result = view != nullptr ? PyObject_CallOneArg(e.readinto, view) : nullptr;
    if (result != nullptr) {
        const Py_ssize_t n = result == Py_None ? -1 : PyLong_AsSsize_t(result);
        if (n >= 0 && static_cast<std::size_t>(n) <= capacity) {
            got = n;
        } else if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "readinto() returned an impossible count");
        }
        Py_DECREF(result);
    }
    if (view != nullptr) {
        PyObject* done = PyObject_CallMethod(view, "release", nullptr);
        if (done == nullptr) got = -1;
        Py_XDECREF(done);
        Py_DECREF(view);
    }
    if (got < 0) keep_error(e);
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

// --------------------------------------------------------------------- Decoder

// The library decodes by pushing blocks into a write function; a reader
// pulls. The run therefore goes on a helper thread that takes turns with the
// caller, as a coroutine would: whenever it needs input or has a block, it
// hands the turn back and waits. The helper never touches Python; the
// caller's thread does all the reading of the file, and copies out of the
// block while the helper waits inside the write function, so the block is
// served from the context itself. Memory: one context, the helper's stack,
// and the caller's chunk of input (at most 64 KiB) while it is copied in.
enum class Event { need_input, block, done };

struct DecodeRun {
    std::mutex lock;
    std::condition_variable turn_changed;
    bool helper_turn = true;
    bool stop = false;   // the caller gives up: every callback fails from now on
    Event event = Event::need_input;
    std::uint8_t* input = nullptr;   // need_input: where the helper wants the bytes
    std::size_t input_capacity = 0;
    std::ptrdiff_t input_got = 0;
    const std::uint8_t* block = nullptr;   // block: what the helper offers
    std::size_t block_size = 0;
    int status = VEXA_OK;   // done: how the run ended
    vexa_ctx* ctx = nullptr;
    pthread_t thread{};
    bool started = false;
    pid_t owner = 0;   // a forked child has the memory, but not the thread
};

// Helper side: hands the turn to the caller and waits for it to come back.
void yield_to_caller(DecodeRun& run, Event event) {
    std::unique_lock<std::mutex> hold(run.lock);
    run.event = event;
    run.helper_turn = false;
    run.turn_changed.notify_all();
    if (event != Event::done) run.turn_changed.wait(hold, [&] { return run.helper_turn; });
}

std::ptrdiff_t helper_read(void* user, void* buf, std::size_t capacity) {
    auto& run = *static_cast<DecodeRun*>(user);
    if (run.stop) return -1;
    run.input = static_cast<std::uint8_t*>(buf);
    run.input_capacity = capacity;
    yield_to_caller(run, Event::need_input);
    return run.stop ? -1 : run.input_got;
}

int helper_write(void* user, const void* buf, std::size_t size) {
    auto& run = *static_cast<DecodeRun*>(user);
    if (run.stop) return -1;
    run.block = static_cast<const std::uint8_t*>(buf);
    run.block_size = size;
    yield_to_caller(run, Event::block);
    return run.stop ? -1 : 0;
}

void* helper_main(void* user) {
    auto& run = *static_cast<DecodeRun*>(user);
    const int status = vexa_decompress_stream(run.ctx, helper_read, &run, helper_write, &run, nullptr, nullptr);
    run.status = status;
    yield_to_caller(run, Event::done);
    return nullptr;
}

// Caller side, GIL held: lets the helper run until it wants the caller again.
void resume_helper(DecodeRun& run) {
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> hold(run.lock);
    run.helper_turn = true;
    run.turn_changed.notify_all();
    run.turn_changed.wait(hold, [&] { return !run.helper_turn; });
    Py_END_ALLOW_THREADS
}

// The decoder keeps its state in the context, not on the stack: every
// corpus file decodes on a helper stack of 64 KiB. Four times that here.
constexpr std::size_t HELPER_STACK = 256 * 1024;

struct Decoder {
    PyObject_HEAD
    PyObject* read;   // the source's read(n)
    DecodeRun* run;   // null before the first read and after the end
    std::size_t block_pos;
    int failed;   // the status that ended a failed run; later reads fail alike
    bool at_end;
    bool busy;    // a call is in progress (with the GIL released)
};

// Ends the helper thread, whatever it is doing, and frees the run.
void end_run(Decoder* self) {
    DecodeRun* const run = self->run;
    if (run == nullptr) return;
    self->run = nullptr;
    if (run->owner != getpid()) {
        // After fork the helper does not exist here: nothing to join. The
        // context is this process's own copy and serves again; the run's
        // lock may have been copied held, so the run is left as it is.
        give_context(run->ctx);
        return;
    }
    if (run->started) {
        if (run->event != Event::done) {
            run->stop = true;
            resume_helper(*run);   // its callback fails; the run ends at once
        }
        Py_BEGIN_ALLOW_THREADS
        pthread_join(run->thread, nullptr);
        Py_END_ALLOW_THREADS
    }
    give_context(run->ctx);
    delete run;
}

// Runs the decoder until it offers a block (true) or ends (false, with
// at_end set, or an exception set). GIL held.
bool next_block(Decoder* self) {
    if (self->run == nullptr) {
        auto* run = new (std::nothrow) DecodeRun;
        if (run == nullptr || (run->ctx = take_context()) == nullptr) {
            delete run;
            PyErr_NoMemory();
            return false;
        }
        run->owner = getpid();
        self->run = run;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, HELPER_STACK);
        const int err = pthread_create(&run->thread, &attr, helper_main, run);
        pthread_attr_destroy(&attr);
        if (err != 0) {
            end_run(self);
            errno = err;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        run->started = true;
        // The helper starts with the turn: wait for its first request.
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock<std::mutex> hold(run->lock);
        run->turn_changed.wait(hold, [&] { return !run->helper_turn; });
        Py_END_ALLOW_THREADS
    } else if (self->run->owner != getpid()) {
        PyErr_SetString(PyExc_RuntimeError, "a vexa reader cannot go on in a forked process");
        return false;
    } else {
        resume_helper(*self->run);
    }
    for (DecodeRun& run = *self->run;;) {
        if (run.event == Event::block) {
            self->block_pos = 0;
            return true;
        }
        if (run.event == Event::done) {
            const int status = run.status;
            end_run(self);
            if (status != VEXA_OK) {
                self->failed = status;
                raise_status(status);
                return false;
            }
            self->at_end = true;
            return false;
        }
        // The helper wants input: read it here, where Python may run.
        PyObject* chunk = PyObject_CallFunction(self->read, "n", static_cast<Py_ssize_t>(run.input_capacity));
        BufferHold got;
        if (chunk == nullptr || !got.get(chunk, PyBUF_SIMPLE) ||
            static_cast<std::size_t>(got.view.len) > run.input_capacity) {
            if (chunk != nullptr && !PyErr_Occurred()) {
                PyErr_SetString(PyExc_ValueError, "read() returned more bytes than asked for");
            }
            Py_XDECREF(chunk);
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            self->failed = VEXA_ERROR_READ;
            end_run(self);
            PyErr_Restore(type, value, traceback);
            return false;
        }
        std::memcpy(run.input, got.view.buf, static_cast<std::size_t>(got.view.len));
        run.input_got = got.view.len;
        Py_DECREF(chunk);
        resume_helper(run);
    }
}

PyObject* Decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* read;
    static const char* keywords[] = {"read", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Decoder", const_cast<char**>(keywords), &read)) return nullptr;
    if (!PyCallable_Check(read)) {
        PyErr_SetString(PyExc_TypeError, "Decoder() needs a callable read(n)");
        return nullptr;
    }
    auto* self = reinterpret_cast<Decoder*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    Py_INCREF(read);
    self->read = read;
    return reinterpret_cast<PyObject*>(self);
}

void Decoder_dealloc(Decoder* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    end_run(self);
    Py_CLEAR(self->read);
    type->tp_free(reinterpret_cast<PyObject*>(self));
    Py_DECREF(type);
}

int Decoder_traverse(Decoder* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self->read);
    return 0;
}

int Decoder_clear(Decoder* self) {
    Py_CLEAR(self->read);
    return 0;
}

bool enter(Decoder* self) {
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "a vexa reader is in use by another thread");
        return false;
    }
    self->busy = true;
    return true;
}

PyDoc_STRVAR(Decoder_readinto_doc,
"readinto(buffer, /)\n--\n\n"
"Fill a writable bytes-like object with restored bytes and return how many\n"
"were placed: fewer than its length only at the end of the stream.");

PyObject* Decoder_readinto(Decoder* self, PyObject* arg) {
    BufferHold out;
    if (!out.get(arg, PyBUF_WRITABLE)) return nullptr;
    if (!enter(self)) return nullptr;
    auto* dst = static_cast<std::uint8_t*>(out.view.buf);
    const auto want = static_cast<std::size_t>(out.view.len);
    std::size_t done = 0;
    bool ok = true;
    while (done < want) {
        if (self->run != nullptr && self->run->event == Event::block && self->block_pos < self->run->block_size) {
            const std::size_t n = std::min(want - done, self->run->block_size - self->block_pos);
            std::memcpy(dst + done, self->run->block + self->block_pos, n);
            self->block_pos += n;
            done += n;
            continue;
        }
        if (self->at_end) break;
        if (self->failed != VEXA_OK) {
            raise_status(self->failed);
            ok = false;
            break;
        }
        if (self->read == nullptr) {
            PyErr_SetString(PyExc_ValueError, "the reader is closed");
            ok = false;
            break;
        }
        if (!next_block(self)) {
            ok = !PyErr_Occurred();
            if (!ok) break;
        }
    }
    self->busy = false;
    return ok ? PyLong_FromSize_t(done) : nullptr;
}

PyDoc_STRVAR(Decoder_close_doc,
"close()\n--\n\n"
"Stop decoding and give back the context; later reads raise ValueError.");

PyObject* Decoder_close(Decoder* self, PyObject*) {
    if (!enter(self)) return nullptr;
    end_run(self);
    Py_CLEAR(self->read);
    self->busy = false;
    Py_RETURN_NONE;
}

PyObject* Decoder_get_eof(Decoder* self, void*) { return PyBool_FromLong(self->at_end); }

PyMethodDef decoder_methods[] = {
    {"readinto", reinterpret_cast<PyCFunction>(Decoder_readinto), METH_O, Decoder_readinto_doc},
    {"close", reinterpret_cast<PyCFunction>(Decoder_close), METH_NOARGS, Decoder_close_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"eof", reinterpret_cast<getter>(Decoder_get_eof), nullptr, "True once the whole stream has been restored.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(decoder_doc,
"Decoder(read)\n--\n\n"
"Restores one compressed stream taken from read(n) -> bytes, a block at a\n"
"time, with fixed memory: one context (about 5 MiB of address space) and a\n"
"helper thread that decodes while the caller waits. read may be asked for\n"
"up to 64 KiB beyond the end of the stream.");

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Decoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Decoder_clear)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {Py_tp_doc, const_cast<char*>(decoder_doc)},
    {0, nullptr},
};

PyType_Spec decoder_spec = {"vexa._vexa.Decoder", sizeof(Decoder), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                            decoder_slots};

// ---------------------------------------------------------------------- module

PyMethodDef module_methods[] = {
    {"compress", compress, METH_O, compress_doc},
    {"decompress", decompress, METH_O, decompress_doc},
    {"stored_length", stored_length, METH_O, stored_length_doc},
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
    vexa_error = PyErr_NewExceptionWithDoc(
        "vexa.VexaError",
        "Compressed data that is truncated or holds values that no compressor writes.",
        nullptr, nullptr);
    if (vexa_error == nullptr || PyModule_AddObjectRef(module, "VexaError", vexa_error) < 0 ||
        add_owned(module, "Decoder", PyType_FromSpec(&decoder_spec)) < 0 ||
        PyModule_AddStringConstant(module, "LIBRARY_VERSION", vexa_version()) < 0 ||
        add_owned(module, "MAX_INPUT_LENGTH", PyLong_FromUnsignedLongLong(VEXA_MAX_INPUT_LENGTH)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
