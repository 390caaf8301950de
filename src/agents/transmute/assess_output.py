"""The report formats of sql-assess that CI systems and people read: SARIF 2.1.0 for code
scanning, GitHub workflow annotations, JUnit XML, and a self-contained HTML page with charts.

Each writer takes the run's records and summary (see assess.py) and a text stream. Tested in
tests/test_assess_formats.py.
"""

from __future__ import annotations

import json
import os
import urllib.parse
import xml.etree.ElementTree as ET

LEVELS = ("simple", "moderate", "complex")
SARIF_SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
TOOL_URI = "https://pypi.org/project/agents-transmute/"
# Stable rule ids: one per complexity level that a gate can trip, one per reason a file was not
# assessed.
NOT_ASSESSED_REASONS = ("unreadable", "not_a_file", "undecodable", "too_large", "worker_died", "error")


def _tool_version() -> str:
    try:
        from importlib.metadata import version

        return version("agents-transmute")
    except Exception:  # noqa: BLE001 - a source checkout has no metadata
        return "0"


def _reported(records: list[dict], fail_on: str | None) -> list[tuple[dict, str, str, str]]:
    """(record, rule id, level, message) for each file a CI report names: files at or above the
    gate (without --fail-on: complex files, as notes) and files not assessed."""
    threshold = LEVELS.index(fail_on or "complex")
    found = []
    for r in records:
        if r["status"] != "assessed":
            found.append((r, f"not-assessed/{r['reason']}", "error",
                          f"not assessed: {r['reason']} ({r['detail']})"))  # fmt: skip
            continue
        level = r["complexity"]["level"]
        if LEVELS.index(level) >= threshold:
            t = r["turns"]
            found.append((r, f"complexity/{level}", "error" if fail_on else "note",
                          f"{level} script: {r['lines']} lines, turn budgets {t['analysis']}/{t['conversion']}/"
                          f"{t['audit']} (analysis/conversion/audit), platform "
                          f"{r['platform']['platform'] or 'unknown (' + r['platform']['reason'] + ')'}"))  # fmt: skip
    return found


def _uri(path: str) -> tuple[str, bool]:
    """A SARIF artifact URI for `path`: relative to the working folder when below it (what code
    scanning resolves against the repository), else an absolute file URI."""
    absolute = os.path.abspath(path)
    relative = os.path.relpath(absolute, os.getcwd())
    if not relative.startswith(".."):
        return urllib.parse.quote(relative.replace(os.sep, "/"), errors="surrogateescape"), True
    return "file://" + urllib.parse.quote(absolute.replace(os.sep, "/"), errors="surrogateescape"), False


def sarif_document(records: list[dict], summary: dict, fail_on: str | None) -> dict:
    rules = [{"id": f"complexity/{level}", "name": f"Complexity{level.title()}",
              "shortDescription": {"text": f"The script's conversion complexity is {level}."},
              "defaultConfiguration": {"level": "note"}} for level in LEVELS[1:]]  # fmt: skip
    rules += [{"id": f"not-assessed/{reason}", "name": "NotAssessed" + reason.title().replace("_", ""),
               "shortDescription": {"text": f"The script could not be assessed: {reason.replace('_', ' ')}."},
               "defaultConfiguration": {"level": "error"}} for reason in NOT_ASSESSED_REASONS]  # fmt: skip
    index = {rule["id"]: i for i, rule in enumerate(rules)}
    results = []
    for r, rule, level, message in _reported(records, fail_on):
        uri, relative = _uri(r["path"])
        location = {"uri": uri}
        if relative:
            location["uriBaseId"] = "%SRCROOT%"
        results.append({
            "ruleId": rule, "ruleIndex": index[rule], "level": level, "message": {"text": message},
            "locations": [{"physicalLocation": {"artifactLocation": location,
                                                "region": {"startLine": 1}}}],
        })  # fmt: skip
    return {
        "$schema": SARIF_SCHEMA,
        "version": "2.1.0",
        "runs": [{
            "tool": {"driver": {"name": "sql-assess", "version": _tool_version(), "informationUri": TOOL_URI,
                                "rules": rules}},
            "results": results,
            "properties": {"summary": {k: summary[k] for k in ("files", "assessed", "not_assessed", "levels")}},
        }],
    }  # fmt: skip


def write_sarif(records: list[dict], summary: dict, out, fail_on: str | None = None) -> None:
    # Encoded at once: the standard library's C encoder indents only a whole value.
    out.write(json.dumps(sarif_document(records, summary, fail_on), indent=2) + "\n")


def _escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _escape_property(text: str) -> str:
    return _escape_data(text).replace(":", "%3A").replace(",", "%2C")


def write_github(records: list[dict], summary: dict, out, fail_on: str | None = None) -> None:
    """GitHub Actions workflow commands: `::error file=…,title=…::message` per reported file
    (escaped as the runner reads them, so no name can start a command of its own), then a notice
    with the totals."""
    from agents.transmute.assess import shown

    for r, rule, level, message in _reported(records, fail_on):
        command = {"error": "error", "warning": "warning", "note": "notice"}[level]
        out.write(f"::{command} file={_escape_property(shown(r['path']))},line=1,title={_escape_property(rule)}"
                  f"::{_escape_data(shown(message))}\n")  # fmt: skip
    levels = ", ".join(f"{level} {n}" for level, n in summary["levels"].items())
    out.write(f"::notice title=sql-assess::{summary['files']} files: {levels}, "
              f"{summary['not_assessed']} not assessed\n")  # fmt: skip


def _xml_text(text: str) -> str:
    """Text XML 1.0 can carry: other characters (controls, lone surrogates) as escapes."""
    from agents.transmute.assess import shown

    return shown(text)


def write_junit(records: list[dict], summary: dict, out, fail_on: str | None = None) -> None:
    """One test case per file: a failure when it reaches --fail-on, an error when it was not
    assessed."""
    threshold = LEVELS.index(fail_on) if fail_on else None
    suite = ET.Element("testsuite", name="sql-assess", tests=str(len(records)), time=str(summary.get("seconds", 0)))
    failures = errors = 0
    for r in records:
        case = ET.SubElement(suite, "testcase", classname="sql-assess", name=_xml_text(r["path"]))
        if r["status"] != "assessed":
            errors += 1
            ET.SubElement(case, "error", type=r["reason"], message=_xml_text(r["detail"] or r["reason"]))
            continue
        level = r["complexity"]["level"]
        p = r["platform"]
        ET.SubElement(case, "system-out").text = _xml_text(
            f"level {level}, {r['lines']} lines, platform {p['platform'] or 'unknown'} ({p['reason']})")
        if threshold is not None and LEVELS.index(level) >= threshold:
            failures += 1
            ET.SubElement(case, "failure", type=f"complexity/{level}",
                          message=f"{level} reaches --fail-on {fail_on}")  # fmt: skip
    suite.set("failures", str(failures))
    suite.set("errors", str(errors))
    suites = ET.Element("testsuites", name="sql-assess", tests=str(len(records)), failures=str(failures),
                        errors=str(errors))  # fmt: skip
    suites.append(suite)
    ET.indent(suites)
    out.write('<?xml version="1.0" encoding="UTF-8"?>\n')
    out.write(ET.tostring(suites, encoding="unicode"))
    out.write("\n")


# ---------------------------------------------------------------------------------------------
# HTML


def html_unavailable() -> str | None:
    """Why --format html cannot run here, or None."""
    try:
        import jinja2  # noqa: F401
    except ImportError:
        return "--format html needs jinja2: pip install 'agents-transmute[report]'"
    return None


def _bars(items: list[tuple[str, float]], unit: str = "") -> list[dict]:
    """Horizontal bar chart rows: label, value, its text and the bar's share of the largest."""
    peak = max((value for _, value in items), default=0) or 1
    return [{"label": label, "value": value, "text": f"{value:g}{unit}", "pct": round(100 * value / peak, 1)}
            for label, value in items]  # fmt: skip


def _mib(n: int) -> float:
    return round(n / 2**20, 2)


def html_context(records: list[dict], summary: dict, fail_on: str | None) -> dict:
    assessed = [r for r in records if r["status"] == "assessed"]
    confidence = [0] * 5  # 0-0.2, ..., 0.8-1, named platforms only
    for r in assessed:
        if r["platform"]["platform"] is not None:
            confidence[min(int(r["platform"]["confidence"] * 5), 4)] += 1
    buckets = ["0-0.2", "0.2-0.4", "0.4-0.6", "0.6-0.8", "0.8-1"]
    rows = []
    for r in records:
        row = {"path": r["path"], "status": r["status"], "size": r["size_bytes"] or 0}
        if r["status"] == "assessed":
            p = r["platform"]
            row.update(level=r["complexity"]["level"], rank=LEVELS.index(r["complexity"]["level"]),
                       lines=r["lines"], analysis=r["turns"]["analysis"], conversion=r["turns"]["conversion"],
                       audit=r["turns"]["audit"], platform=p["platform"] or "unknown",
                       reason=p["reason"], confidence=p["confidence"], categories=", ".join(r["categories"]),
                       encoding=r["encoding"])  # fmt: skip
        else:
            row.update(level="not assessed", rank=-1, lines=0, analysis=0, conversion=0, audit=0, platform="",
                       reason=f"{r['reason']}: {r['detail']}", confidence=0, categories="", encoding="")  # fmt: skip
        rows.append(row)
    unknown = summary["unknown_platforms"]
    return {
        "summary": summary,
        "fail_on": fail_on,
        "charts": [
            ("Files per level", _bars(list(summary["levels"].items()))),
            ("Platforms by files", _bars(list(summary["platforms"].items()))),
            ("Platforms by size (MiB)", _bars([(k, _mib(v)) for k, v in summary["platform_bytes"].items()])),
            ("Unknown platforms by reason", _bars([(k.replace("_", " "), v) for k, v in unknown.items()])),
            ("Turn budgets (total)", _bars(list(summary["turns"].items()))),
            ("Top categories", _bars([(name, n) for name, n in summary["top_categories"]])),
            ("Platform confidence (named platforms)", _bars(list(zip(buckets, confidence)))),
        ],
        "rows": rows,
    }


_TEMPLATE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>SQL assessment</title>
<style>
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222}
h1{font-size:1.4em}h2{font-size:1.05em;margin:.2em 0 .5em}
.cards{display:flex;flex-wrap:wrap;gap:.8em;margin-bottom:1em}
.card{border:1px solid #ccc;border-radius:6px;padding:.5em .9em;min-width:7em}
.card b{display:block;font-size:1.5em}
.charts{display:grid;grid-template-columns:repeat(auto-fill,minmax(330px,1fr));gap:1em;margin-bottom:1.5em}
.chart{border:1px solid #ddd;border-radius:6px;padding:.6em}
.bar{display:grid;grid-template-columns:9em 1fr 4.5em;align-items:center;gap:.4em;margin:.15em 0}
.bar span.l{overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
.bar div.t{background:#eee;height:.9em;border-radius:3px}.bar div.f{background:#3b73b9;height:100%;border-radius:3px}
.bar span.v{text-align:right;font-variant-numeric:tabular-nums}
table{border-collapse:collapse;width:100%}th,td{border-bottom:1px solid #e3e3e3;padding:.25em .5em;text-align:left}
th{cursor:pointer;background:#f5f5f5;user-select:none}th.asc:after{content:" \\25B2"}th.desc:after{content:" \\25BC"}
td.n{text-align:right;font-variant-numeric:tabular-nums}tr.not_assessed td{color:#a00}
.filters{display:flex;gap:.6em;margin:.6em 0;flex-wrap:wrap}
</style></head>
<body>
<h1>SQL assessment</h1>
<div class="cards" id="totals">
<div class="card">Files<b data-total="files">{{ summary.files }}</b></div>
<div class="card">Assessed<b data-total="assessed">{{ summary.assessed }}</b></div>
<div class="card">Not assessed<b data-total="not_assessed">{{ summary.not_assessed }}</b></div>
{% for level, n in summary.levels.items() %}<div class="card">{{ level }}<b data-level="{{ level }}">{{ n }}</b></div>
{% endfor %}<div class="card">Read in sections<b data-total="chunked_files">{{ summary.chunked_files }}</b></div>
{% if summary.left_out %}<div class="card">Left out<b data-total="left_out">{{ summary.left_out.not_included + summary.left_out.excluded + summary.left_out.gitignored }}</b></div>{% endif %}
</div>
<div class="charts">
{% for title, bars in charts %}<section class="chart"><h2>{{ title }}</h2>
{% for b in bars %}<div class="bar" data-chart="{{ title }}" data-label="{{ b.label }}" data-value="{{ b.value }}"><span class="l" title="{{ b.label }}">{{ b.label }}</span><div class="t"><div class="f" style="width:{{ b.pct }}%"></div></div><span class="v">{{ b.text }}</span></div>
{% else %}<p>none</p>{% endfor %}</section>
{% endfor %}</div>
<h2>Files</h2>
<div class="filters">
<input id="q" type="search" placeholder="filter by path, platform, category..." size="40">
<select id="lv"><option value="">every level</option>{% for level in ["simple", "moderate", "complex", "not assessed"] %}<option>{{ level }}</option>{% endfor %}</select>
<span id="shown"></span>
</div>
<table id="files"><thead><tr>
<th data-k="path">File</th><th data-k="rank">Level</th><th data-k="lines" data-n>Lines</th><th data-k="size" data-n>Bytes</th>
<th data-k="analysis" data-n>Analysis</th><th data-k="conversion" data-n>Conversion</th><th data-k="audit" data-n>Audit</th>
<th data-k="platform">Platform</th><th data-k="confidence" data-n>Conf.</th><th data-k="reason">Reason</th><th data-k="categories">Categories</th><th data-k="encoding">Encoding</th>
</tr></thead><tbody></tbody></table>
<script id="data" type="application/json">{{ rows_json }}</script>
<script>
"use strict";
(function () {
  const rows = JSON.parse(document.getElementById("data").textContent);
  const body = document.querySelector("#files tbody");
  const cols = ["path", "level", "lines", "size", "analysis", "conversion", "audit", "platform", "confidence", "reason", "categories", "encoding"];
  const numeric = new Set(["lines", "size", "analysis", "conversion", "audit", "confidence"]);
  for (const r of rows) {
    const tr = document.createElement("tr");
    tr.className = r.status;
    r.text = [r.path, r.level, r.platform, r.reason, r.categories].join(" ").toLowerCase();
    for (const c of cols) {
      const td = document.createElement("td");
      td.textContent = String(r[c]);
      if (numeric.has(c)) td.className = "n";
      tr.appendChild(td);
    }
    r.tr = tr;
    body.appendChild(tr);
  }
  let key = null, dir = 1;
  function draw() {
    const q = document.getElementById("q").value.toLowerCase();
    const lv = document.getElementById("lv").value;
    const list = rows.slice();
    if (key) list.sort((a, b) => (a[key] < b[key] ? -dir : a[key] > b[key] ? dir : 0));
    let n = 0;
    for (const r of list) {
      const show = (!q || r.text.includes(q)) && (!lv || r.level === lv);
      r.tr.hidden = !show;
      if (show) n++;
      body.appendChild(r.tr);
    }
    document.getElementById("shown").textContent = n + " of " + rows.length + " files";
  }
  for (const th of document.querySelectorAll("#files th")) {
    th.addEventListener("click", () => {
      const k = th.dataset.k;
      dir = key === k ? -dir : (th.hasAttribute("data-n") || k === "rank" ? -1 : 1);
      key = k;
      for (const other of document.querySelectorAll("#files th")) other.className = "";
      th.className = dir > 0 ? "asc" : "desc";
      draw();
    });
  }
  document.getElementById("q").addEventListener("input", draw);
  document.getElementById("lv").addEventListener("change", draw);
  draw();
  document.body.dataset.ready = "1";
})();
</script>
</body></html>
"""


def write_html(records: list[dict], summary: dict, out, fail_on: str | None = None) -> None:
    """One page with everything inline (styles, script, data): it opens offline. File names go
    through jinja2's escaping in the markup and through textContent in the table."""
    import jinja2
    from markupsafe import Markup

    env = jinja2.Environment(autoescape=True)
    context = html_context(records, summary, fail_on)
    # Inside <script>, "</" and "<!--" must not appear: escape "<", ">" and "&" as JSON escapes.
    rows_json = json.dumps(context["rows"]).replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    out.write(env.from_string(_TEMPLATE).render(rows_json=Markup(rows_json), **context))
