from typing import Any, Literal, TypedDict, type_check_only

@type_check_only
class SummaryRecord(TypedDict):
    summary: Any  # the reply's content as the client returned it: usually str, possibly None
    content: str
    status: Literal["ok", "error"]

@type_check_only
class TitleRecord(TypedDict):
    title: Any
    content: str
    status: Literal["ok", "error"]

# The client class each call builds its client with: the module's extension point.
OpenAI: Any
__test__: dict[str, Any]

class AISummary:
    base_url: Any
    api_key: Any
    model_id: Any
    def __init__(self, base_url: Any, api_key: Any, model_id: Any = "") -> None: ...
    def extract(self, content: str, prompt: object = "", length: object = 200) -> SummaryRecord: ...
    def refined_title(self, content: str, prompt: str = "", length: object = 200) -> TitleRecord: ...
