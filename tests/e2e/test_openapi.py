"""The API description, docs/openapi.yaml, against the program's source: the same routes,
every error the code can answer, the version; and the check that holds every answer the
end-to-end tests receive to it does refuse what the description does not cover."""

import glob
import os
import re
import unittest

import jsonschema

import openapi_check
from openapi_check import check_answer, inline

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
HEAD = (b"HTTP/1.1 %d X\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 1\r\n"
        b"Cache-Control: no-store\r\nConnection: close")
LITERAL = r'"((?:[^"\\]|\\.)*)"'


def source(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def error_answers_in_source():
    """(status, code, message or None, where) of every error answer the code builds; the
    message when it is one literal, None when it is put together at run time."""
    found = []
    for path in sorted(glob.glob(os.path.join(ROOT, "src", "**", "*.cpp"), recursive=True)):
        text = source(path)
        for match in re.finditer(r'\b(?:failure|errorResponse)\(\s*(\d+),\s*' + LITERAL + r',\s*', text):
            rest = text[match.end():]
            message = re.match(LITERAL + r'\s*\)', rest)
            literal = message.group(1).encode().decode("unicode_escape") if message else None
            found.append((int(match.group(1)), match.group(2), literal, os.path.relpath(path, ROOT)))
    return found


def error_codes(schema):
    """The `error` codes a response schema allows."""
    codes = set()
    if isinstance(schema, dict):
        code = schema.get("properties", {}).get("error", {}).get("const")
        if code:
            codes.add(code)
        for value in schema.values():
            codes |= error_codes(value)
    elif isinstance(schema, list):
        for item in schema:
            codes |= error_codes(item)
    return codes


class DescriptionAgainstSource(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.document = openapi_check.load()

    def test_the_routes_are_those_wired_in_the_program(self):
        wired = set(re.findall(r'route\("([A-Z]+)", "([^"]+)"', source("src/app/Program.cpp")))
        self.assertEqual(len(wired), 12)
        described = {(method.upper(), path) for path, item in self.document["paths"].items()
                     for method in item if method in openapi_check.METHODS}
        self.assertEqual(described, wired)

    def test_every_error_the_code_answers_is_described_with_its_message(self):
        documented = {}
        responses = [op["responses"] for item in self.document["paths"].values() for op in item.values()]
        for answers in responses + [self.document["x-unmatched-requests"]["responses"]]:
            for status, response in inline(answers, self.document).items():
                documented.setdefault(int(status), set()).update(error_codes(response))
        answers = error_answers_in_source()
        self.assertGreater(len(answers), 20)
        for status, code, message, where in answers:
            with self.subTest(status=status, code=code, where=where):
                self.assertIn(code, documented.get(status, set()))
                if message is not None:
                    check_answer(HEAD % status, status, {"error": code, "message": message})

    def test_the_version_is_the_builds(self):
        version = re.search(r"project\(velmar-computer-use VERSION ([0-9.]+)", source("CMakeLists.txt")).group(1)
        self.assertEqual(self.document["info"]["version"], version)

    def test_schemas_are_valid_and_the_examples_fit_them(self):
        checked = 0
        for path, item in self.document["paths"].items():
            for method, operation in item.items():
                body = inline(operation.get("requestBody", {}), self.document).get("content", {})
                responses = inline(operation["responses"], self.document).values()
                for content in [*body.values(), *(c for r in responses for c in r.get("content", {}).values())]:
                    schema = content["schema"]
                    jsonschema.Draft202012Validator.check_schema(schema)
                    examples = [e["value"] for e in content.get("examples", {}).values()]
                    examples += [content["example"]] if "example" in content else []
                    for example in examples:
                        with self.subTest(method=method, path=path, example=example):
                            jsonschema.Draft202012Validator(schema).validate(example)
                            checked += 1
        self.assertGreater(checked, 10)


class TheCheckRefuses(unittest.TestCase):
    STATUS = {"accessibility": True, "capture": "ScreenCaptureKit", "display": {"height": 1080, "scale": 1.0,
              "width": 1920}, "microphone": "granted", "pid": 42, "screen": "granted", "screen_detail": "",
              "version": "0.1.0"}

    def test_what_the_description_does_not_cover(self):
        check_answer(HEAD % 200, 200, self.STATUS, ("GET", "/status"))
        no_route = {"error": "not_found", "message": "no route GET /window"}
        check_answer(HEAD % 404, 404, no_route, ("GET", "/window"))
        cases = [
            ("an unknown key", HEAD % 200, 200, dict(self.STATUS, uptime=3), ("GET", "/status")),
            ("a missing key", HEAD % 200, 200, {k: v for k, v in self.STATUS.items() if k != "pid"}, ("GET", "/status")),
            ("a wrong type", HEAD % 200, 200, dict(self.STATUS, pid="42"), ("GET", "/status")),
            ("a status the route never answers", HEAD % 405, 405, no_route, ("GET", "/window")),
            ("another route's error", HEAD % 404, 404, {"error": "no_window", "message": "no window with id 3 is on "
                                                        "screen"}, ("GET", "/nowhere")),
            ("a changed message", HEAD % 401, 401, {"error": "unauthorized", "message": "no token"}, None),
            ("an error with a third key", HEAD % 401, 401, {"error": "unauthorized", "message": "a bearer token is "
                                                           "required", "hint": "x"}, None),
            ("no body", HEAD % 200, 200, None, ("POST", "/quit")),
            ("a header missing", HEAD.replace(b"Connection: close", b"") % 200, 200, {"ok": True}, ("POST", "/quit")),
            ("another content type", HEAD.replace(b"application/json", b"text/plain") % 200, 200, {"ok": True},
             ("POST", "/quit")),
        ]
        for name, head, status, body, request in cases:
            with self.subTest(name):
                with self.assertRaises(AssertionError):
                    check_answer(head, status, body, request)


if __name__ == "__main__":
    unittest.main()
