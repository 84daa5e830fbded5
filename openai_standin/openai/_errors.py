"""The package's exceptions, with the real client's names, arguments and attributes."""

from __future__ import annotations

import json

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    from ._http import Request, Response


class OpenAIError(Exception):
    pass


class APIError(OpenAIError):
    message: str
    request: Request | None
    body: object | None
    code: object | None
    param: object | None
    type: object | None

    def __init__(self, message: str, request: Request | None = None, *, body: object | None = None) -> None:
        super().__init__(message)
        self.message, self.request, self.body = message, request, body
        fields = body if isinstance(body, dict) else {}
        self.code = fields.get("code")
        self.param = fields.get("param")
        self.type = fields.get("type")


class APIResponseValidationError(APIError):
    def __init__(self, response: Response, body: object | None, *, message: str | None = None) -> None:
        super().__init__(message or "Data returned by API invalid for expected schema.", response.request,
                         body=body)
        self.response = response
        self.status_code = response.status_code


class APIStatusError(APIError):
    """Raised when an API response has a status code of 4xx or 5xx."""

    def __init__(self, message: str, *, response: Response, body: object | None) -> None:
        super().__init__(message, response.request, body=body)
        self.response = response
        self.status_code = response.status_code
        self.request_id = response.headers.get("x-request-id")


class APIConnectionError(APIError):
    def __init__(self, *, message: str = "Connection error.", request: Request | None = None) -> None:
        super().__init__(message, request)


class APITimeoutError(APIConnectionError):
    def __init__(self, request: Request | None = None) -> None:
        super().__init__(message="Request timed out.", request=request)


class BadRequestError(APIStatusError):
    pass


class AuthenticationError(APIStatusError):
    pass


class PermissionDeniedError(APIStatusError):
    pass


class NotFoundError(APIStatusError):
    pass


class ConflictError(APIStatusError):
    pass


class UnprocessableEntityError(APIStatusError):
    pass


class RateLimitError(APIStatusError):
    pass


class InternalServerError(APIStatusError):
    pass


_STATUS_ERRORS: dict[int, type[APIStatusError]] = {
    400: BadRequestError, 401: AuthenticationError, 403: PermissionDeniedError,
    404: NotFoundError, 409: ConflictError, 422: UnprocessableEntityError,
    429: RateLimitError,
}


def status_error(response: Response) -> APIStatusError:
    """The error for a reply whose status is not a success, worded as the real client words it."""
    status = response.status_code
    if response.content is None:  # longer than the client reads: not read
        body: object = None
        message = f"Error code: {status}"
    else:
        body = text = response.text.strip()
        try:
            body = json.loads(text)
            message = f"Error code: {status} - {body}"
        except (ValueError, RecursionError):
            message = text or f"Error code: {status}"
    if isinstance(body, dict):
        body = body.get("error", body)
    cls = InternalServerError if status >= 500 else _STATUS_ERRORS.get(status, APIStatusError)
    return cls(message, response=response, body=body)
