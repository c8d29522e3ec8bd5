#!/usr/bin/env bash
# Checks the scrape config and the alerts that docs/publisher-guide.md
# shows under "Watching a server" with promtool (Debian's prometheus):
# both files as Prometheus reads them, and each alert firing on made-up
# series where it should, for the instance it should, and nowhere else.
#
#   scripts/check-prometheus-examples.sh
set -euo pipefail
cd "$(dirname "$0")/.."
guide=docs/publisher-guide.md

if ! command -v promtool >/dev/null 2>&1; then
  echo "skip  promtool: prometheus is not installed"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The N-th ```yaml block of the section, N from 1.
yaml_block() {
  awk -v want="$1" '
    /^## / {inside = ($0 == "## Watching a server")}
    inside && /^```yaml$/ {n++; if (n == want) {take = 1; next}}
    take && /^```$/ {exit}
    take {print}' "$guide"
}
yaml_block 1 >"$work/prometheus.yml"
yaml_block 2 >"$work/quor-update-server.rules.yml"
[ -s "$work/prometheus.yml" ] && [ -s "$work/quor-update-server.rules.yml" ] || {
  echo "FAIL  $guide has no two yaml blocks under \"Watching a server\"" >&2
  exit 1
}

# Instances: a serves well, b is nearly full, c is down, d holds players
# and sends nothing.
cat >"$work/alerts_test.yml" <<'TEST'
rule_files:
  - quor-update-server.rules.yml
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: 'up{job="quor-update-server",instance="a:9477"}'
        values: '1x30'
      - series: 'up{job="quor-update-server",instance="c:9477"}'
        values: '0x30'
      - series: 'quor_update_server_serving{job="quor-update-server",instance="a:9477"}'
        values: '1x30'
      - series: 'quor_update_server_free_slots{job="quor-update-server",instance="a:9477"}'
        values: '4000x30'
      - series: 'quor_update_server_free_slots{job="quor-update-server",instance="b:9477"}'
        values: '500x30'
      - series: 'quor_update_server_connections{job="quor-update-server",instance="a:9477"}'
        values: '3x30'
      - series: 'quor_update_server_sent_bytes_total{job="quor-update-server",instance="a:9477"}'
        values: '0+100000x30'
      - series: 'quor_update_server_connections{job="quor-update-server",instance="d:9477"}'
        values: '2x30'
      - series: 'quor_update_server_sent_bytes_total{job="quor-update-server",instance="d:9477"}'
        values: '5000x30'
    alert_rule_test:
      - eval_time: 1m
        alertname: UpdateServerDown
        exp_alerts: []
      - eval_time: 5m
        alertname: UpdateServerDown
        exp_alerts:
          - exp_labels: {job: quor-update-server, instance: "c:9477"}
            exp_annotations:
              summary: "c:9477 is not serving the update data"
      - eval_time: 10m
        alertname: UpdateServerFull
        exp_alerts:
          - exp_labels: {job: quor-update-server, instance: "b:9477"}
            exp_annotations:
              summary: "b:9477 refuses extra connections: 500 slots free"
      - eval_time: 8m
        alertname: UpdateServerSendsNothing
        exp_alerts: []
      - eval_time: 25m
        alertname: UpdateServerSendsNothing
        exp_alerts:
          - exp_labels: {job: quor-update-server, instance: "d:9477"}
            exp_annotations:
              summary: "d:9477 holds players but sent nothing for 10 minutes"
TEST

if promtool check config "$work/prometheus.yml" >"$work/out" 2>&1 &&
   promtool test rules "$work/alerts_test.yml" >>"$work/out" 2>&1; then
  echo "ok    promtool: the scrape config and the alerts of $guide"
else
  cat "$work/out" >&2
  echo "FAIL  promtool: the scrape config and the alerts of $guide" >&2
  exit 1
fi
