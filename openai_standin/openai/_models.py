"""The objects a reply is made into, as the real client builds its models without validating.

Each JSON object of a known kind becomes an instance of its class, its keys
as attributes: a field the class declares and the reply lacks reads as None,
a key the class does not declare is kept, and a value of an unexpected kind
(a number where an object was due) is kept as it came. ``model_dump()`` gives
every declared field and every kept key; ``to_dict()`` the JSON as it came.
Anything that is not a JSON object where one was due stays the plain value.
"""

from __future__ import annotations

import json

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    from collections.abc import Callable, Mapping
    from typing import ClassVar
    from typing import Any as JSONValue


class BaseModel:
    _fields: ClassVar[tuple[str, ...]] = ()
    _nested: ClassVar[dict[str, Callable[[object], object]]] = {}
    __hash__ = None  # type: ignore[assignment]  # as pydantic's: equal by value, so not hashable

    def __init_subclass__(cls, nested: Mapping[str, object] | None = None) -> None:
        fields: dict[str, None] = {}
        for base in reversed(cls.__mro__):
            fields.update((name, None) for name in base.__dict__.get("__annotations__", ())
                          if not name.startswith("_"))
        cls._fields = tuple(fields)
        for name in fields:
            if name not in cls.__dict__:
                setattr(cls, name, None)  # what a field the reply lacks reads as
        cls._nested = {**cls._nested, **{key: _converter(shape) for key, shape in (nested or {}).items()}}

    def __init__(self, **fields: object) -> None:
        self.__dict__.update(fields)

    @classmethod
    def build(cls, data: object) -> object:
        """An instance over the JSON object `data` (which it takes over); any other value as it is."""
        if not isinstance(data, dict):
            return data
        for key, convert in cls._nested.items():
            value = data.get(key)
            if value is not None:
                data[key] = convert(value)
        model = cls.__new__(cls)
        model.__dict__ = data
        return model

    def model_dump(self) -> dict[str, object]:
        dumped = {name: _dump(getattr(self, name)) for name in self._fields}
        for key, value in vars(self).items():
            if key not in dumped:
                dumped[key] = _dump(value)
        return dumped

    def model_dump_json(self, *, indent: int | None = None) -> str:
        return json.dumps(self.model_dump(), indent=indent, ensure_ascii=False,
                          separators=None if indent else (",", ":"))

    def to_dict(self) -> dict[str, object]:
        data = vars(self)
        keys = [name for name in self._fields if name in data] + [key for key in data if key not in self._fields]
        return {key: _plain(data[key]) for key in keys}

    def to_json(self, *, indent: int | None = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False,
                          separators=None if indent else (",", ":"))

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return vars(self) == vars(other)

    def __repr__(self) -> str:
        names = self._fields + tuple(key for key in vars(self) if key not in self._fields)
        return f"{type(self).__name__}({', '.join(f'{n}={getattr(self, n)!r}' for n in names)})"


def _converter(shape: object) -> Callable[[object], object]:
    if isinstance(shape, list):
        item = _converter(shape[0])
        return lambda value: [item(v) for v in value] if isinstance(value, list) else value
    if isinstance(shape, type) and issubclass(shape, BaseModel):
        return shape.build
    assert callable(shape)
    return shape


def _dump(value: object) -> object:
    if isinstance(value, BaseModel):
        return value.model_dump()
    if isinstance(value, list):
        return [_dump(v) for v in value]
    return value


def _plain(value: object) -> object:
    if isinstance(value, BaseModel):
        return value.to_dict()
    if isinstance(value, list):
        return [_plain(v) for v in value]
    return value


# Chat completions.

class CompletionTokensDetails(BaseModel):
    accepted_prediction_tokens: int | None
    audio_tokens: int | None
    reasoning_tokens: int | None
    rejected_prediction_tokens: int | None
    text_tokens: int | None


class PromptTokensDetails(BaseModel):
    audio_tokens: int | None
    cache_write_tokens: int | None
    cached_tokens: int | None
    image_tokens: int | None
    text_tokens: int | None


class CompletionUsage(BaseModel, nested={"completion_tokens_details": CompletionTokensDetails,
                                         "prompt_tokens_details": PromptTokensDetails}):
    completion_tokens: int
    prompt_tokens: int
    total_tokens: int
    completion_tokens_details: CompletionTokensDetails | None
    compute_units: int | None
    prompt_tokens_details: PromptTokensDetails | None


class Function(BaseModel):
    arguments: str
    name: str


class FunctionCall(BaseModel):
    arguments: str
    name: str


class ChatCompletionMessageFunctionToolCall(BaseModel, nested={"function": Function}):
    id: str
    function: Function
    type: str


class Custom(BaseModel):
    input: str
    name: str


class ChatCompletionMessageCustomToolCall(BaseModel, nested={"custom": Custom}):
    id: str
    custom: Custom
    type: str


def _tool_call(value: object) -> object:
    if isinstance(value, dict) and value.get("type") == "custom":
        return ChatCompletionMessageCustomToolCall.build(value)
    return ChatCompletionMessageFunctionToolCall.build(value)


class ChatCompletionAudio(BaseModel):
    id: str
    data: str
    expires_at: int
    transcript: str


class AnnotationURLCitation(BaseModel):
    end_index: int
    start_index: int
    title: str
    url: str


class Annotation(BaseModel, nested={"url_citation": AnnotationURLCitation}):
    type: str
    url_citation: AnnotationURLCitation


class ChatCompletionMessage(BaseModel, nested={
        "annotations": [Annotation], "audio": ChatCompletionAudio, "function_call": FunctionCall,
        "tool_calls": [_tool_call]}):
    content: str | None
    refusal: str | None
    role: str
    annotations: list[Annotation] | None
    audio: ChatCompletionAudio | None
    function_call: FunctionCall | None
    tool_calls: list[JSONValue] | None


class TopLogprob(BaseModel):
    token: str
    bytes: list[int] | None
    logprob: float


class ChatCompletionTokenLogprob(BaseModel, nested={"top_logprobs": [TopLogprob]}):
    token: str
    bytes: list[int] | None
    logprob: float
    top_logprobs: list[TopLogprob]


class ChoiceLogprobs(BaseModel, nested={"content": [ChatCompletionTokenLogprob],
                                        "refusal": [ChatCompletionTokenLogprob]}):
    content: list[ChatCompletionTokenLogprob] | None
    refusal: list[ChatCompletionTokenLogprob] | None


class Choice(BaseModel, nested={"logprobs": ChoiceLogprobs, "message": ChatCompletionMessage}):
    finish_reason: str
    index: int
    logprobs: ChoiceLogprobs | None
    message: ChatCompletionMessage


class ChatCompletion(BaseModel, nested={"choices": [Choice], "usage": CompletionUsage}):
    id: str
    choices: list[Choice]
    created: int
    model: str
    object: str
    metadata: dict[str, str] | None
    moderation: JSONValue  # left as the plain JSON it came as
    service_tier: str | None
    system_fingerprint: str | None
    usage: CompletionUsage | None


# Files, batches and models.

class FileObject(BaseModel):
    id: str
    bytes: int
    created_at: int
    filename: str
    object: str
    purpose: str
    status: str
    expires_at: int | None
    status_details: str | None


class FileDeleted(BaseModel):
    id: str
    deleted: bool
    object: str


class BatchError(BaseModel):
    code: str | None
    line: int | None
    message: str | None
    param: str | None


class Errors(BaseModel, nested={"data": [BatchError]}):
    data: list[BatchError] | None
    object: str | None


class BatchRequestCounts(BaseModel):
    completed: int
    failed: int
    total: int


class InputTokensDetails(BaseModel):
    cached_tokens: int


class OutputTokensDetails(BaseModel):
    reasoning_tokens: int


class BatchUsage(BaseModel, nested={"input_tokens_details": InputTokensDetails,
                                    "output_tokens_details": OutputTokensDetails}):
    input_tokens: int
    input_tokens_details: InputTokensDetails
    output_tokens: int
    output_tokens_details: OutputTokensDetails
    total_tokens: int


class Batch(BaseModel, nested={"errors": Errors, "request_counts": BatchRequestCounts, "usage": BatchUsage}):
    id: str
    completion_window: str
    created_at: int
    endpoint: str
    input_file_id: str
    object: str
    status: str
    cancelled_at: int | None
    cancelling_at: int | None
    completed_at: int | None
    error_file_id: str | None
    errors: Errors | None
    expired_at: int | None
    expires_at: int | None
    failed_at: int | None
    finalizing_at: int | None
    in_progress_at: int | None
    metadata: dict[str, str] | None
    model: str | None
    output_file_id: str | None
    request_counts: BatchRequestCounts | None
    usage: BatchUsage | None


class Model(BaseModel):
    id: str
    created: int
    object: str
    owned_by: str
    shutdown_date: str | None
