#include "chat.hpp"

namespace factsift::chat {
namespace {

Ref attribute(const Ref& obj, PyObject* name) {
    return Ref::consuming(obj ? PyObject_GetAttr(obj.get(), name) : nullptr);
}

}  // namespace

Ref new_client(PyObject* globals, GlobalSite& open_ai, PyObject* settings) {
    Ref factory = lookup_global(globals, open_ai);
    if (!factory) return {};
    Ref base_url = Ref::consuming(PyObject_GetAttr(settings, strings.base_url.get()));
    Ref api_key = Ref::consuming(base_url ? PyObject_GetAttr(settings, strings.api_key.get()) : nullptr);
    if (!api_key) return {};
    PyObject* args[] = {base_url.get(), api_key.get()};
    return Ref::consuming(PyObject_Vectorcall(factory.get(), args, 0, constants.client_kwnames.get()));
}

Ref create_of(PyObject* client) {
    return attribute(attribute(Ref::consuming(PyObject_GetAttr(client, strings.chat.get())), strings.completions.get()),
                     strings.create.get());
}

Ref user_message(PyObject* text) {
    Ref message = Ref::consuming(PyDict_New());
    if (!message || PyDict_SetItem(message.get(), strings.role.get(), strings.user.get()) < 0 ||
        PyDict_SetItem(message.get(), strings.content.get(), text) < 0)
        return {};
    Ref list = Ref::consuming(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, message.release());
    return list;
}

Ref send(PyObject* create, PyObject* model, PyObject* messages) {
    PyObject* args[] = {model, messages, Py_False};
    return Ref::consuming(PyObject_Vectorcall(create, args, 0, constants.request_kwnames.get()));
}

Ref reply_content(PyObject* response) {
    Ref choices = Ref::consuming(PyObject_GetAttr(response, strings.choices.get()));
    Ref first = Ref::consuming(choices ? PyObject_GetItem(choices.get(), constants.zero.get()) : nullptr);
    return attribute(attribute(first, strings.message.get()), strings.content.get());
}

}  // namespace factsift::chat
