#include "binding/key_iterator.hpp"

#include <string>
#include <utility>

#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/process_state.hpp"

namespace morlatch::binding {
namespace {

struct KeyIteratorObject {
    PyObject_HEAD
        // The PrefixSearch whose store the cursor reads; kept alive by this.
        PyObject* owner;
    KeyCursor* cursor;
    bool items;
};

PyObject* key_iterator_next(PyObject* self) {
    return guarded([&]() -> OwnedRef {
        auto* iterator = reinterpret_cast<KeyIteratorObject*>(self);
        std::u32string key;
        Payload payload = 0;
        if (iterator->cursor == nullptr || !iterator->cursor->next(key, payload)) {
            return OwnedRef();  // exhausted: NULL without an exception
        }
        OwnedRef text = to_python(std::u32string_view(key));
        if (!iterator->items) {
            return text;
        }
        return make_tuple(std::move(text), to_python(payload));
    });
}

void key_iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    guarded_unraisable(self, [&] {
        auto* iterator = reinterpret_cast<KeyIteratorObject*>(self);
        delete iterator->cursor;
        Py_XDECREF(iterator->owner);
        type->tp_free(self);
    });
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace

PyTypeObject* create_key_iterator_type() {
    PyTypeObject*& cached = process().key_iterator_type;
    if (cached == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
            {Py_tp_iternext, reinterpret_cast<void*>(key_iterator_next)},
            {Py_tp_dealloc, reinterpret_cast<void*>(key_iterator_dealloc)},
            {0, nullptr},
        };
        PyType_Spec type_spec = {
            "morlatch._engine.KeyIterator", sizeof(KeyIteratorObject), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            slots};
        cached = reinterpret_cast<PyTypeObject*>(new_ref(PyType_FromSpec(&type_spec)).release());
    }
    return cached;
}

OwnedRef new_key_iterator(PyObject* owner, std::unique_ptr<KeyCursor> cursor, bool items) {
    PyTypeObject* type = process().key_iterator_type;
    OwnedRef obj = new_ref(type->tp_alloc(type, 0));
    auto* iterator = reinterpret_cast<KeyIteratorObject*>(obj.get());
    iterator->owner = OwnedRef::incref(owner).release();
    iterator->cursor = cursor.release();
    iterator->items = items;
    return obj;
}

}  // namespace morlatch::binding
