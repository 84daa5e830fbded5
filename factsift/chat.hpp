// The chat-completion call, made through the module global OpenAI: a client
// per call, one request, the reply's text.
#pragma once

#include "common.hpp"
#include "globals.hpp"
#include "state.hpp"

namespace factsift::chat {

// OpenAI(base_url=settings.base_url, api_key=settings.api_key), with OpenAI
// resolved through `open_ai`.
Ref new_client(PyObject* globals, GlobalSite& open_ai, PyObject* settings);

// client.chat.completions.create
Ref create_of(PyObject* client);

// [{"role": "user", "content": text}]
Ref user_message(PyObject* text);

// create(model=model, messages=messages, stream=False)
Ref send(PyObject* create, PyObject* model, PyObject* messages);

// response.choices[0].message.content
Ref reply_content(PyObject* response);

}  // namespace factsift::chat
