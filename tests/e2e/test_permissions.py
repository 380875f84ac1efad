"""POST /request on a real desktop: the prompt runs on the main thread and the answer is
the status report; a bad `what` changes nothing."""

import unittest

from harness import DesktopCase

STATUS_KEYS = {"display", "screen", "screen_detail", "capture", "accessibility", "microphone", "pid", "version"}
BAD_WHAT = '`what` must be "screen", "accessibility" or "microphone"'


class PermissionRequest(DesktopCase):
    DESKTOP_SIZE = (1280, 800)

    def test_every_permission_answers_with_the_status_report(self):
        for body in ({"what": "screen"}, {"what": "screen", "pane": True}, {"what": "accessibility", "pane": 1},
                     {"what": "microphone", "pane": True}):
            status, answer, _ = self.program.request("POST", "/request", body)
            self.assertEqual(status, 200, body)
            self.assertEqual(set(answer), STATUS_KEYS)
            self.assertEqual(answer["pid"], self.program.process.pid)
            self.assertEqual(answer["screen"], "granted")
            self.assertEqual(answer["screen_detail"], "")
            self.assertIs(answer["accessibility"], True)
            self.assertEqual(answer["display"], {"width": 1280, "height": 800, "scale": 1.0})
        # The main thread is still free: the process keeps answering.
        self.assertEqual(self.program.request("GET", "/status")[0], 200)

    def test_bad_what_is_refused(self):
        for body in ({"what": "Screen"}, {"what": "mic"}, {"what": 5}, {}):
            status, answer, _ = self.program.request("POST", "/request", body)
            self.assertEqual((status, answer), (400, {"error": "bad_request", "message": BAD_WHAT}), body)


if __name__ == "__main__":
    unittest.main()
