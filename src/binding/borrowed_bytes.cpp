#include "binding/borrowed_bytes.hpp"

#include "binding/boundary.hpp"
#include "binding/process_state.hpp"

namespace morlatch::binding {
namespace {

struct BorrowedBytesObject {
    PyObject_HEAD
        // What owns the bytes; kept alive by this.
        PyObject* owner;
    const std::uint8_t* data;
    Py_ssize_t size;
};

int borrowed_bytes_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const auto* object = reinterpret_cast<const BorrowedBytesObject*>(self);
    // Refuses PyBUF_WRITABLE with BufferError; the view holds `self`.
    return PyBuffer_FillInfo(view, self, const_cast<std::uint8_t*>(object->data), object->size,
                             /*readonly=*/1, flags);
}

void borrowed_bytes_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<BorrowedBytesObject*>(self)->owner);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace

PyTypeObject* create_borrowed_bytes_type() {
    PyTypeObject*& cached = process().borrowed_bytes_type;
    if (cached == nullptr) {
        PyType_Slot slots[] = {
            {Py_bf_getbuffer, reinterpret_cast<void*>(borrowed_bytes_getbuffer)},
            {Py_tp_dealloc, reinterpret_cast<void*>(borrowed_bytes_dealloc)},
            {0, nullptr},
        };
        PyType_Spec type_spec = {
            "morlatch._engine.BorrowedBytes", sizeof(BorrowedBytesObject), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            slots};
        cached = reinterpret_cast<PyTypeObject*>(new_ref(PyType_FromSpec(&type_spec)).release());
    }
    return cached;
}

OwnedRef borrowed_view(PyObject* owner, std::span<const std::uint8_t> bytes) {
    PyTypeObject* type = process().borrowed_bytes_type;
    OwnedRef obj = new_ref(type->tp_alloc(type, 0));
    auto* object = reinterpret_cast<BorrowedBytesObject*>(obj.get());
    object->owner = OwnedRef::incref(owner).release();
    object->data = bytes.data();
    object->size = static_cast<Py_ssize_t>(bytes.size());
    return new_ref(PyMemoryView_FromObject(obj.get()));
}

}  // namespace morlatch::binding
