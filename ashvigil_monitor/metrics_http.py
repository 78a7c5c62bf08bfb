"""Metrics over HTTP (ASHVIGIL_METRICS_LISTEN): GET /metrics in the Prometheus text format, the
same numbers as the metrics file, rendered by prometheus_client (the `metrics` extra); GET
/healthz, 200 when the last cycle succeeded and 503 when it did not. Anything else is 404.

The server runs in its own thread and reads the numbers the loop last recorded: a scrape never
waits for a cycle, nor a cycle for a scrape.
"""

from __future__ import annotations

import http.server
import socket
import threading
from collections.abc import Callable, Iterator
from typing import Any

from ashvigil_monitor.errors import ConfigError, Failed
from ashvigil_monitor.liveness import RESULTS, Metrics

INSTALL = "ASHVIGIL_METRICS_LISTEN needs prometheus_client: pip install 'ashvigil[metrics]'"


class _Collector:
    def __init__(self, metrics: Callable[[], Metrics]) -> None:
        self._metrics = metrics

    def collect(self) -> Iterator[Any]:
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

        m = self._metrics()
        yield GaugeMetricFamily(
            "ashvigil_last_success_timestamp_seconds",
            "Unix time of the last watch cycle that returned 0.",
            m.last_success,
        )
        cycles = CounterMetricFamily("ashvigil_cycles", "Watch cycles by result.", labels=["result"])
        for result in RESULTS:
            cycles.add_metric([result], m.cycles[result])
        yield cycles
        yield CounterMetricFamily("ashvigil_alerts_sent", "Alerts delivered to the chat.", m.alerts_sent)
        yield GaugeMetricFamily(
            "ashvigil_active", "1 while this monitor acts for its database, 0 standing by.", m.active
        )
        yield GaugeMetricFamily("ashvigil_subnets", "Subnets in the last stored burn map.", m.subnets)
        pending = GaugeMetricFamily(
            "ashvigil_outbox_pending", "Alert pieces waiting in the outbox.", labels=["destination"]
        )
        for name, count in sorted(m.outbox_pending.items()):
            pending.add_metric([name], count)
        yield pending
        dropped = CounterMetricFamily(
            "ashvigil_alerts_dropped", "Alert pieces dropped undelivered.", labels=["destination"]
        )
        for name, count in sorted(m.alerts_dropped.items()):
            dropped.add_metric([name], count)
        yield dropped
        deliveries = CounterMetricFamily(
            "ashvigil_deliveries", "Pieces sent by destination and result.", labels=["destination", "result"]
        )
        for (name, result), count in sorted(m.deliveries.items()):
            deliveries.add_metric([name, result], count)
        yield deliveries
        yield CounterMetricFamily(
            "ashvigil_bot_updates_ignored", "Chat messages to the bot from other chats, ignored.", m.bot_ignored
        )
        yield CounterMetricFamily(
            "ashvigil_bot_answers_dropped", "Chat answers dropped: the chat's budget was used.", m.bot_dropped
        )
        rates = GaugeMetricFamily("ashvigil_owner_burn_rate", "Owner burn rate as last stored.", labels=["netuid"])
        for netuid, value in sorted(m.burn_rates.items(), key=lambda item: int(item[0])):
            rates.add_metric([netuid], value)
        yield rates


class _IPv6Server(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6


class MetricsServer:
    def __init__(self, address: tuple[str, int], metrics: Callable[[], Metrics], healthy: Callable[[], bool]) -> None:
        try:
            from prometheus_client import CollectorRegistry
            from prometheus_client.exposition import CONTENT_TYPE_LATEST, generate_latest
        except ImportError:
            raise ConfigError(INSTALL) from None
        registry = CollectorRegistry(auto_describe=False)
        registry.register(_Collector(metrics))

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self) -> None:
                if self.path == "/metrics":
                    self._answer(200, CONTENT_TYPE_LATEST, generate_latest(registry))
                elif self.path == "/healthz":
                    ok = healthy()
                    self._answer(200 if ok else 503, "text/plain", b"ok\n" if ok else b"last cycle failed\n")
                else:
                    self._answer(404, "text/plain", b"not found\n")

            def _answer(self, status: int, kind: str, body: bytes) -> None:
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            timeout = 10  # an idle connection does not hold its thread for ever

            def log_message(self, format: str, *args: Any) -> None:  # scrapes are not log lines
                pass

        for method in ("POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS"):
            setattr(Handler, f"do_{method}", lambda self: self._answer(404, "text/plain", b"not found\n"))
        server_class = _IPv6Server if ":" in address[0] else http.server.ThreadingHTTPServer
        try:
            self._server = server_class(address, Handler)
        except OSError as e:  # the port may be free again after a restart
            raise Failed(
                f"ASHVIGIL_METRICS_LISTEN: cannot listen on {address[0]}:{address[1]} ({e.strerror})"
            ) from None
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, name="ashvigil-metrics", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
