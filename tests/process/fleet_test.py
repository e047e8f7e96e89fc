"""Watching a fleet: the shipped dashboard's structure, and a real Prometheus
(Debian's) scraping a supervisor that runs the tool with the stand-in decoder
and runtime, evaluating the shipped alert rules and answering the dashboard's
queries."""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest
import urllib.parse
import urllib.request

from harness import fake_url, scratch_dir
from supervise_harness import SMALL, STEADY, Supervisor, free_port, get, token

SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DASHBOARD = os.path.join(SOURCE_DIR, "service", "grafana-dashboard.json")
RULES = os.path.join(SOURCE_DIR, "service", "prometheus-alerts.yml")
JOB = "qor-ndi-send"  # the job the rules and the dashboard expect, as the README names it


def dashboard_queries():
    """Every PromQL expression of the dashboard, as Grafana would send it with
    every box selected."""
    with open(DASHBOARD) as f:
        dashboard = json.load(f)
    return [t["expr"].replace("$instance", ".*").replace("$__rate_interval", "1m")
            for p in dashboard["panels"] for t in p.get("targets", [])]


class Dashboard(unittest.TestCase):
    def test_a_row_per_box_with_each_source_state_rate_receivers_pictures_and_restarts(self):
        with open(DASHBOARD) as f:
            dashboard = json.load(f)
        self.assertGreaterEqual(dashboard["schemaVersion"], 36)
        variables = {v["name"]: v for v in dashboard["templating"]["list"]}
        instance = variables["instance"]
        self.assertEqual((instance["type"], instance["includeAll"], instance["multi"], instance["allValue"]),
                         ("query", True, True, ".*"))
        self.assertIn("instance)", instance["definition"])
        self.assertEqual(variables["datasource"]["type"], "datasource")

        panels = dashboard["panels"]
        self.assertEqual(len({p["id"] for p in panels}), len(panels), "panel ids repeat")
        rows = [p for p in panels if p["type"] == "row"]
        self.assertEqual([(r["repeat"], r["gridPos"]["y"]) for r in rows], [("instance", 0)], "one row, repeated per box")
        shown = set()
        for p in panels:
            if p["type"] == "row":
                continue
            grid = p["gridPos"]
            self.assertTrue(grid["x"] >= 0 and grid["w"] > 0 and grid["x"] + grid["w"] <= 24 and grid["y"] > 0, p["title"])
            self.assertEqual(p["datasource"]["uid"], "${datasource}", p["title"])
            self.assertTrue(p["targets"], p["title"])
            for t in p["targets"]:
                # Each query keeps to the boxes selected, in the job the rules name.
                selectors = re.findall(r"\{([^}]*)\}", t["expr"])
                self.assertTrue(selectors, t["expr"])
                for s in selectors:
                    self.assertIn('instance=~"$instance"', s, t["expr"])
                    self.assertIn('job="%s"' % JOB, s, t["expr"])
                shown.update(re.findall(r"\b(?:qor_ndi_\w+|up)\b", t["expr"]))
        self.assertLessEqual({"qor_ndi_source_state", "qor_ndi_source_fps", "qor_ndi_source_connections",
                              "qor_ndi_source_seconds_since_picture", "qor_ndi_source_restarts_total", "up"}, shown)


class Prometheus:
    """Debian's Prometheus on a free loopback port with a data folder of its
    own, scraping targets every second and evaluating rules_text as its rules."""

    def __init__(self, targets, rules_text):
        self.dir = scratch_dir()
        self.port = free_port()
        with open(os.path.join(self.dir, "rules.yml"), "w") as f:
            f.write(rules_text)
        # JSON is YAML too.
        config = {"global": {"scrape_interval": "1s", "scrape_timeout": "1s", "evaluation_interval": "1s"},
                  "rule_files": ["rules.yml"],
                  "scrape_configs": [{"job_name": JOB, "static_configs": [{"targets": targets}]}]}
        with open(os.path.join(self.dir, "prometheus.yml"), "w") as f:
            json.dump(config, f)
        self.log = open(os.path.join(self.dir, "log"), "wb")
        self.proc = subprocess.Popen(
            ["/usr/bin/prometheus", "--config.file=" + os.path.join(self.dir, "prometheus.yml"),
             "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)

    def api(self, path, **params):
        url = "http://127.0.0.1:%d/api/v1/%s" % (self.port, path)
        if params:
            url += "?" + urllib.parse.urlencode(params)
        with urllib.request.urlopen(url, timeout=10) as r:
            answer = json.load(r)
        assert answer["status"] == "success", answer
        return answer["data"]

    def wait_for(self, what, predicate, timeout):
        """predicate's value once it is true; fails with Prometheus's log after timeout."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                value = predicate()
                if value:
                    return value
            except OSError:
                pass  # not listening yet
            if time.monotonic() > deadline or self.proc.poll() is not None:
                with open(os.path.join(self.dir, "log"), "rb") as f:
                    log = f.read()[-3000:].decode("utf-8", "replace")
                raise AssertionError("waited %.0f s for %s; Prometheus %s, its log ends:\n%s"
                                     % (timeout, what, self.proc.poll(), log))
            time.sleep(0.5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


@unittest.skipUnless(sys.platform.startswith("linux"), "Linux only")
class LivePrometheus(unittest.TestCase):
    def test_scraped_every_query_answered_and_a_silent_source_alerts(self):
        status_port = free_port()
        tokens = {"Steady": token(), "Camera": token()}

        def sources(camera):
            # A status line comes every 2 s: Camera's limit of 3 s is short
            # but holds a source with pictures.
            return [{"name": "Steady", "input": fake_url(**STEADY, token=tokens["Steady"]), "args": SMALL, "stall": 10},
                    {"name": "Camera", "input": fake_url(**camera, token=tokens["Camera"]), "args": SMALL, "stall": 3}]

        # The shipped rules, their waits (for:) shortened to a sixth: long
        # enough still for a source to start without an alert.
        with open(RULES) as f:
            rules = re.sub(r"\bfor: (\d+)m\b", lambda m: "for: %ds" % (int(m.group(1)) * 10), f.read())
        self.assertEqual(len(re.findall(r"\bfor: \d+s\b", rules)), 3, rules)
        with Supervisor(sources(STEADY), status="127.0.0.1:%d" % status_port) as sup, \
                Prometheus(["127.0.0.1:%d" % status_port], rules) as prom:
            target = prom.wait_for("the target up", lambda: [
                t for t in prom.api("targets")["activeTargets"] if t["health"] == "up"], 60)
            self.assertEqual([(t["labels"]["job"], t["labels"]["instance"]) for t in target],
                             [(JOB, "127.0.0.1:%d" % status_port)])

            # Every query of the dashboard answers, the box's variable too.
            for query in dashboard_queries():
                prom.wait_for("an answer to " + query, lambda: prom.api("query", query=query)["result"], 30)
            boxes = prom.api("label/instance/values", **{"match[]": 'qor_ndi_supervise_build_info{job="%s"}' % JOB})
            self.assertEqual(boxes, ["127.0.0.1:%d" % status_port])
            firing = lambda: [a for a in prom.api("alerts")["alerts"] if a["state"] == "firing"]
            prom.wait_for("both sources running", lambda: prom.api(
                "query", query='sum(qor_ndi_source_state{state="running"}) == 2')["result"], 30)
            self.assertEqual(firing(), [])

            # Camera goes silent: its connections stay open with nothing on them.
            silent_at = time.monotonic()
            sup.rewrite(sources(dict(frames=0, blocks=0, hold=1)))
            sup.proc.send_signal(signal.SIGHUP)
            prom.wait_for("Camera's alert firing", lambda: [
                a for a in firing() if a["labels"]["alertname"] == "QorNdiSourceStalled"], 60)
            alerts = firing()
            self.assertIn({"alertname": "QorNdiSourceStalled", "job": JOB, "instance": "127.0.0.1:%d" % status_port,
                           "source": "Camera", "severity": "warning"}, [a["labels"] for a in alerts])
            self.assertEqual([a for a in alerts if a["labels"].get("source") != "Camera"], [], "only Camera alerts")

            # Its time without pictures runs on over its runs, each stopped by
            # the watchdog; and Prometheus's own check of the text finds nothing.
            prom.wait_for("Camera's third stall", lambda: prom.api(
                "query", query='qor_ndi_source_stalls_total{source="Camera"} >= 3')["result"], 60)
            since_silent = time.monotonic() - silent_at
            code, _, body = get(status_port, "/metrics")
            self.assertEqual(code, 200)
            since_picture = float(re.search(rb'^qor_ndi_source_seconds_since_picture\{source="Camera"\} (\S+)$',
                                            body, re.M).group(1))
            # Less the time the reload and the old run's end may take (a
            # status line of the old run may still count pictures); a count
            # started again with each run would be at most a stall limit and a
            # scrape behind the third stall.
            self.assertGreaterEqual(since_picture, since_silent - 3, body)
            check = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True, timeout=60)
            self.assertEqual((check.returncode, check.stdout, check.stderr), (0, b"", b""))
        self.assertIsNotNone(prom.proc.poll())


if __name__ == "__main__":
    unittest.main()
