#include "chat.hpp"

#include "module.hpp"

namespace factsift::chat {

Ref new_client(PyObject* globals, GlobalSite& open_ai_site, PyObject* settings) {
    Ref open_ai = lookup_global(globals, open_ai_site);
    if (!open_ai) return {};
    Ref base_url(PyObject_GetAttr(settings, S.base_url));
    Ref api_key(base_url ? PyObject_GetAttr(settings, S.api_key) : nullptr);
    if (!api_key) return {};
    PyObject* args[] = {base_url.get(), api_key.get()};
    return Ref(PyObject_Vectorcall(open_ai.get(), args, 0, C.client_kwnames));
}

namespace {

Ref attribute(const Ref& obj, PyObject* name) { return Ref(obj ? PyObject_GetAttr(obj.get(), name) : nullptr); }

// [{"role": "user", "content": text}]
Ref user_message(PyObject* text) {
    Ref message(PyDict_New());
    if (!message || PyDict_SetItem(message.get(), S.role, S.user) < 0 ||
        PyDict_SetItem(message.get(), S.content, text) < 0)
        return {};
    Ref list(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, message.release());
    return list;
}

}  // namespace

Ref request(PyObject* client, PyObject* settings, PyObject* text, int& line, int message_line) {
    const int request_line = line;
    Ref create = attribute(attribute(attribute(Ref::borrow(client), S.chat), S.completions), S.create);
    if (!create) return {};
    Ref model(PyObject_GetAttr(settings, S.model_id));
    if (!model) return {};
    line = message_line;
    Ref messages = user_message(text);
    if (!messages) return {};
    line = request_line;
    PyObject* args[] = {model.get(), messages.get(), Py_False};
    return Ref(PyObject_Vectorcall(create.get(), args, 0, C.request_kwnames));
}

Ref reply_content(PyObject* response) {
    Ref choices(PyObject_GetAttr(response, S.choices));
    Ref first(choices ? PyObject_GetItem(choices.get(), C.zero) : nullptr);
    return attribute(attribute(first, S.message), S.content);
}

}  // namespace factsift::chat
