"""Exceptions of the framework."""

__all__ = [
    "HTTPException",
    "BadRequest",
    "NotFound",
    "InternalServerError",
    "UnsupportedMediaType",
    "UnprocessableEntity",
    "BadRequestFormat",
    "PayloadTooLarge",
    "MessageAborted",
    "InvalidArgument",
    "InvalidOperation",
    "InvalidExceptionHandler",
    "FailedRequestError",
]


class HTTPException(Exception):
    """An error that maps to an HTTP status."""

    def __init__(self, status: int, message: str = None):
        super().__init__(message)
        self.status = status
        self.message = message

    def __repr__(self):
        return f"{type(self).__name__}({self.status!r}, {self.message!r})"


class _StatusException(HTTPException):
    status_code = 500

    def __init__(self, message: str = None):
        super().__init__(self.status_code, message)


class BadRequest(_StatusException):
    status_code = 400


class NotFound(_StatusException):
    status_code = 404


class InternalServerError(_StatusException):
    status_code = 500


class UnsupportedMediaType(_StatusException):
    status_code = 415


class UnprocessableEntity(_StatusException):
    status_code = 422


class BadRequestFormat(BadRequest):
    """A request body that cannot be read in the format it declares."""

    def __init__(self, message: str, source_error: Exception = None):
        super().__init__(message)
        self.source_error = source_error


class PayloadTooLarge(BadRequest):
    """A request body larger than the limit its reader applies (413)."""

    status_code = 413


class MessageAborted(Exception):
    """The client went away before the message body was read whole."""

    def __init__(self, message: str = "The message was aborted before it was complete."):
        super().__init__(message)


class InvalidArgument(Exception):
    pass


class InvalidOperation(Exception):
    pass


class InvalidExceptionHandler(Exception):
    pass


class FailedRequestError(Exception):
    """A response whose status is outside 200 to 299."""

    def __init__(self, status: int, data: str):
        super().__init__(f"The response status code does not indicate success: {status}. Response body: {data}")
        self.status = status
        self.data = data
