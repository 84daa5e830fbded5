#include "chat.hpp"

namespace factsift::chat {
namespace {

Ref attribute(const Ref& obj, PyObject* name) { return Ref(obj ? PyObject_GetAttr(obj.get(), name) : nullptr); }

}  // namespace

Ref new_client(PyObject* globals, GlobalSite& open_ai, PyObject* settings) {
    Ref factory = lookup_global(globals, open_ai);
    if (!factory) return {};
    Ref base_url(PyObject_GetAttr(settings, S.base_url));
    Ref api_key(base_url ? PyObject_GetAttr(settings, S.api_key) : nullptr);
    if (!api_key) return {};
    PyObject* args[] = {base_url.get(), api_key.get()};
    return Ref(PyObject_Vectorcall(factory.get(), args, 0, C.client_kwnames));
}

Ref create_of(PyObject* client) {
    return attribute(attribute(Ref(PyObject_GetAttr(client, S.chat)), S.completions), S.create);
}

Ref user_message(PyObject* text) {
    Ref message(PyDict_New());
    if (!message || PyDict_SetItem(message.get(), S.role, S.user) < 0 ||
        PyDict_SetItem(message.get(), S.content, text) < 0)
        return {};
    Ref list(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, message.release());
    return list;
}

Ref send(PyObject* create, PyObject* model, PyObject* messages) {
    PyObject* args[] = {model, messages, Py_False};
    return Ref(PyObject_Vectorcall(create, args, 0, C.request_kwnames));
}

Ref reply_content(PyObject* response) {
    Ref choices(PyObject_GetAttr(response, S.choices));
    Ref first(choices ? PyObject_GetItem(choices.get(), C.zero) : nullptr);
    return attribute(attribute(first, S.message), S.content);
}

}  // namespace factsift::chat
