// The chat-completion call, made through the module global OpenAI.
#pragma once

#include "common.hpp"
#include "module.hpp"

namespace factsift::chat {

// OpenAI(base_url=settings.base_url, api_key=settings.api_key), with OpenAI
// resolved through `open_ai_site`.
Ref new_client(PyObject* globals, GlobalSite& open_ai_site, PyObject* settings);

// client.chat.completions.create(model=settings.model_id,
//     messages=[{"role": "user", "content": text}], stream=False)
// `line` moves to `message_line` while the message list is built.
Ref request(PyObject* client, PyObject* settings, PyObject* text, int& line, int message_line);

// response.choices[0].message.content
Ref reply_content(PyObject* response);

}  // namespace factsift::chat
