"""Holds the answers the end-to-end tests receive to the API description, docs/openapi.yaml.

An answer whose status, headers or body the description does not describe for its request
fails the test that received it. When the request is unknown (a test that reads a raw socket
itself), the answer must be one that the description gives to some request with that status.
"""

import functools
import os

import jsonschema
import jsonschema.exceptions
import yaml

DESCRIPTION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "openapi.yaml")
METHODS = ("get", "put", "post", "delete", "options", "head", "patch", "trace")


def load(path=DESCRIPTION):
    with open(path, encoding="utf-8") as f:
        return yaml.load(f, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))


def inline(node, document, seen=()):
    """The node with every local $ref replaced by what it names. A $ref with sibling
    keywords becomes an allOf beside them, which is what the reference means in a schema."""
    if isinstance(node, list):
        return [inline(item, document, seen) for item in node]
    if not isinstance(node, dict):
        return node
    if "$ref" in node:
        reference = node["$ref"]
        if not reference.startswith("#/") or reference in seen:
            raise ValueError(f"cannot inline {reference}")
        target = document
        for part in reference[2:].split("/"):
            target = target[part.replace("~1", "/").replace("~0", "~")]
        target = inline(target, document, seen + (reference,))
        siblings = {key: inline(value, document, seen) for key, value in node.items() if key != "$ref"}
        return dict(siblings, allOf=[target]) if siblings else target
    return {key: inline(value, document, seen) for key, value in node.items()}


class Answer:
    """One response object of the description, ready to judge answers."""

    def __init__(self, response):
        self.headers = {name.lower(): header for name, header in response.get("headers", {}).items()}
        self.media = {media: jsonschema.Draft202012Validator(content["schema"])
                      for media, content in response.get("content", {}).items()}

    def problem(self, headers, body):
        """Why the answer does not fit, or None when it does."""
        for name, header in self.headers.items():
            if name not in headers:
                if header.get("required"):
                    return f"the header {name} is missing"
                continue
            error = jsonschema.exceptions.best_match(
                jsonschema.Draft202012Validator(header.get("schema", {})).iter_errors(headers[name]))
            if error:
                return f"the header {name}: {error.message}"
        media = headers.get("content-type", "").split(";")[0].strip()
        if not self.media:
            return None if body is None and not media else "a body where the description gives none"
        validator = self.media.get(media)
        if validator is None:
            return f"the content type {media!r} is not described"
        error = jsonschema.exceptions.best_match(validator.iter_errors(body))
        if error:
            where = "/".join(str(p) for p in error.absolute_path) or "the body"
            return f"{where}: {error.message}"
        return None


@functools.cache
def described():
    """{(METHOD, path): {status: Answer}} and the answers of requests outside the table."""
    document = load()
    operations = {}
    for path, item in document["paths"].items():
        for method in METHODS:
            if method in item:
                responses = inline(item[method]["responses"], document)
                operations[(method.upper(), path)] = {int(s): Answer(r) for s, r in responses.items()}
    unmatched = inline(document["x-unmatched-requests"]["responses"], document)
    return operations, {int(s): Answer(r) for s, r in unmatched.items()}


def check_answer(head, status, body, request=None):
    """Fails (AssertionError) unless the description covers the answer. `head` is the raw
    status line and headers, `body` the parsed JSON (None when there was none), `request`
    the (method, path) it answers, or None when the test does not know it."""
    operations, unmatched = described()
    headers = {}
    for line in head.decode("latin-1").split("\r\n")[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()

    if request is None:
        shown = "an answer"
        candidates = [answers[status] for answers in [*operations.values(), unmatched] if status in answers]
    else:
        method, path = request[0], request[1].split("?")[0]
        shown = f"the answer to {method} {path}"
        answers = operations.get((method, path), unmatched)
        candidates = [answers[status]] if status in answers else []
    if not candidates:
        raise AssertionError(f"{shown}, status {status}, is not described in docs/openapi.yaml: {body!r:.300}")
    problems = [answer.problem(headers, body) for answer in candidates]
    if all(problems):
        raise AssertionError(f"{shown}, status {status}, is not described in docs/openapi.yaml: "
                             f"{problems[0]}; it answered {body!r:.300}")
