"""The HTML damage report's page, a jinja2 template rendered with autoescaping.

One file that needs nothing else when opened: the style is inline, the map is inline SVG,
there is no script and no font or image to fetch. Hovering a stretch of the map names its
lines (SVG titles); everything else is plain HTML, readable without any of that.
"""

PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="generator" content="rowmender {{ version }}">
<title>Damage report: {{ name }}</title>
<style>
body { font: 15px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: #1d1d1f; margin: 0 auto;
       max-width: 1100px; padding: 1.5em 2em 4em; background: #fff; }
h1 { font-size: 1.5em; margin: 0 0 .2em; overflow-wrap: anywhere; }
h2 { font-size: 1.2em; margin: 2em 0 .6em; border-bottom: 1px solid #ddd; padding-bottom: .2em; }
h3 { font-size: 1.05em; margin: 1.4em 0 .4em; }
.verdict { font-size: 1.15em; font-weight: 600; padding: .5em .8em; border-radius: 6px; margin: .8em 0; }
.verdict.good { background: #e6f4ea; color: #1e6b34; }
.verdict.warn { background: #fff4d6; color: #7a5200; }
.verdict.bad { background: #fde7e7; color: #a01818; }
table { border-collapse: collapse; margin: .3em 0; }
th, td { text-align: left; padding: .25em .7em .25em 0; vertical-align: top; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
.grid { display: flex; flex-wrap: wrap; gap: 3em; align-items: flex-start; }
.kv th { font-weight: normal; color: #555; }
pre, code, .cell { font: 13px/1.4 ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace; }
pre { margin: 0; white-space: pre-wrap; overflow-wrap: anywhere; background: #f6f6f6; padding: .3em .5em;
      border-radius: 4px; max-height: 12em; overflow: auto; }
.map { width: 100%; border-spacing: 0; }
.map td { padding: 2px 0; }
.map td.label { width: 15em; padding-right: .8em; white-space: nowrap; }
.map td.count { width: 6em; text-align: right; padding-left: .8em; font-variant-numeric: tabular-nums; }
.strip { display: block; width: 100%; height: 22px; }
.axis { display: flex; justify-content: space-between; color: #666; font-size: .85em; }
.swatch { display: inline-block; width: .8em; height: .8em; border-radius: 2px; margin-right: .4em; }
.examples { width: 100%; border-top: 1px solid #eee; }
.examples > tbody > tr > td { border-bottom: 1px solid #eee; padding: .4em .7em .4em 0; }
.examples td.lines { white-space: nowrap; color: #555; width: 5em; }
.examples td.original { width: 35%; }
.row { border-collapse: separate; border-spacing: 2px; }
.row td { background: #f6f6f6; padding: .15em .4em; border-radius: 3px; max-width: 18em; min-width: .6em;
          overflow-wrap: break-word; white-space: pre-wrap; }
.scroll { overflow-x: auto; max-width: 38em; }
.row td.changed { background: #ffe08a; outline: 1px solid #d9a400; }
.note { color: #666; font-size: .9em; }
.aside { color: #a01818; }
.frequent span { display: inline-block; background: #f1f1f1; border-radius: 3px; padding: 0 .3em; margin: 0 .2em .2em 0; }
.bar { display: inline-block; height: .7em; background: #9ab; vertical-align: middle; margin-right: .4em; }
</style>
</head>
<body>
<header>
<h1>Damage report: {{ name }}</h1>
<div class="verdict {{ tone }}" id="verdict">{{ verdict }}</div>
</header>

<section id="summary">
<h2>Summary</h2>
<div class="grid">
<table class="kv">
{% for label, value in summary %}
<tr><th>{{ label }}</th><td class="n">{{ "{:,}".format(value) if value is integer else value }}</td></tr>
{% endfor %}
</table>
<table class="kv" id="dialect">
<caption style="text-align:left;font-weight:600">Dialect</caption>
{% for label, value in dialect %}
<tr><th>{{ label }}</th><td>{{ value }}</td></tr>
{% endfor %}
</table>
</div>
<details>
<summary>Every count</summary>
<table class="kv">
{% for key, value in counts %}
<tr><th><code>{{ key }}</code></th><td class="n">{{ value }}</td></tr>
{% endfor %}
</table>
</details>
</section>

<section id="rules">
<h2>Rules for real-world files</h2>
{% if rules %}
<table>
<tr><th>Rule</th><th class="n">Times</th><th>Where</th></tr>
{% for section in rules %}
<tr><td><span class="swatch" style="background:{{ section.colour }}"></span>{{ section.label }}</td>
<td class="n">{{ "{:,}".format(section.count) }}</td>
<td>{% for example in section.examples[:5] %}{{ "line %d" % example.first if example.first == example.last else "lines %d–%d" % (example.first, example.last) }}{{ ", " if not loop.last }}{% endfor %}{{ ", …" if section.count > 5 }}</td></tr>
{% endfor %}
</table>
{% else %}
<p class="note">None of them applied: no preamble, footer, repeated header or other file-level damage was found.</p>
{% endif %}
</section>

<section id="map">
<h2>Damage map</h2>
{% if sections %}
<p class="note">The file from its first line (left) to its last ({{ "{:,}".format(lines) }}, right), one band per
kind of change, in {{ bins }} stretches of {{ "{:,}".format(span) }} line{{ "s" if span > 1 }}; the darker, the more
changes. Hover a stretch to see its lines.</p>
<table class="map">
{% for section in sections %}
<tr>
<td class="label"><span class="swatch" style="background:{{ section.colour }}"></span>{{ section.label }}</td>
<td><svg class="strip" viewBox="0 0 {{ bins }} 1" preserveAspectRatio="none" role="img" aria-label="{{ section.label }}">
<rect width="{{ bins }}" height="1" fill="#f1f1f1"/>
{% for index, first, last, count, shade in section.bands %}
<rect x="{{ index }}" width="1" height="1" fill="{{ section.colour }}" fill-opacity="{{ "%.2f" % shade }}"><title>{{ "line %d" % first if first == last else "lines %d–%d" % (first, last) }}: {{ count }} × {{ section.label|lower }}</title></rect>
{% endfor %}
</svg></td>
<td class="count">{{ "{:,}".format(section.count) }}</td>
</tr>
{% endfor %}
<tr><td></td><td><div class="axis"><span>line 1</span><span>line {{ "{:,}".format((lines + 1) // 2) }}</span><span>line {{ "{:,}".format(lines) }}</span></div></td><td></td></tr>
</table>
{% else %}
<p class="note">No change anywhere in the file.</p>
{% endif %}
</section>

<section id="changes">
<h2>Changes</h2>
{% if not sections %}<p class="note">None.</p>{% endif %}
{% for section in sections %}
<h3 id="kind-{{ section.kind }}"><span class="swatch" style="background:{{ section.colour }}"></span>{{ section.label }}
<span class="note">(<code>{{ section.kind }}</code>: {{ "{:,}".format(section.count) }}{% if section.count > section.examples|length %}; {{ section.examples|length }} examples drawn from the whole file{% endif %})</span></h3>
<table class="examples">
<tr><th>Lines</th><th>Original</th><th>Repaired row</th><th>What changed</th></tr>
{% for example in section.examples %}
<tr>
<td class="lines">{{ example.first if example.first == example.last else "%d–%d" % (example.first, example.last) }}</td>
<td class="original">{% if example.found %}<pre>{{ example.original }}</pre>{% if not example.original %}<span class="note">an empty line</span>{% endif %}{% if example.cut %}<span class="note">cut after {{ "{:,}".format(example_bytes) }} bytes</span>{% endif %}{% else %}<span class="note">not shown</span>{% endif %}</td>
<td>{% if example.set_aside or section.kind == "quarantined" %}<span class="aside">set aside</span>{% elif example.cut %}<span class="note">not shown: the row is longer than {{ "{:,}".format(example_bytes) }} bytes</span>{% elif example.cells %}<div class="scroll"><table class="row"><tr>{% for cell in example.cells %}<td class="cell{{ " changed" if example.changed[loop.index0] }}">{{ cell }}</td>{% endfor %}</tr></table></div>{% endif %}</td>
<td>{{ example.detail }}</td>
</tr>
{% endfor %}
</table>
{% endfor %}
</section>

<section id="quarantine">
<h2>Rows set aside</h2>
{% if quarantine_count %}
<p>{{ "{:,}".format(quarantine_count) }} row{{ "s" if quarantine_count != 1 }} set aside{% if quarantine_count > quarantined|length %}; the first {{ quarantined|length }} shown{% endif %}.</p>
<table class="examples">
<tr><th>Line</th><th>Reason</th><th>Content</th></tr>
{% for line, reason, content in quarantined %}
<tr><td class="lines">{{ line }}</td><td>{{ reason }}</td><td><pre>{{ content }}</pre></td></tr>
{% endfor %}
</table>
{% else %}
<p class="note">None: every row was kept.</p>
{% endif %}
</section>

<section id="profile">
<h2>Columns of the repaired table</h2>
{% if columns %}
<p class="note">{% if whole_table %}From all {{ "{:,}".format(profiled_rows) }} rows after the first, which names the columns.{% else %}Estimated from {{ "{:,}".format(profiled_rows) }} rows: the first ones and short runs drawn from across the file; the first row names the columns.{% endif %}
 Filled and merged count every row of the file.{% if more_columns %} The first {{ columns|length }} columns are shown, {{ "{:,}".format(more_columns) }} more are not.{% endif %}</p>
<table>
<tr><th class="n">#</th><th>Column</th><th class="n">Empty</th><th>Longest value</th><th>Frequent values</th><th class="n">Filled</th><th class="n">Merged into</th></tr>
{% for column in columns %}
<tr>
<td class="n">{{ loop.index }}</td>
<td class="cell">{{ column.name|shown }}</td>
<td class="n"><span class="bar" style="width:{{ "%.1f" % (column.empty_share * 4) }}em"></span>{{ "%.1f" % (column.empty_share * 100) }} %</td>
<td class="cell">{{ column.longest|shown }}{% if column.longest %} <span class="note">({{ column.longest|length }})</span>{% endif %}</td>
<td class="frequent">{% for value, count in column.frequent %}<span>{{ value|shown if value else "(empty)" }} <span class="note">×{{ count }}</span></span>{% endfor %}</td>
<td class="n">{{ "{:,}".format(column.filled) }}</td>
<td class="n">{{ "{:,}".format(column.merged) }}</td>
</tr>
{% endfor %}
</table>
{% else %}
<p class="note">The repaired table is empty.</p>
{% endif %}
</section>
<footer class="note" style="margin-top:3em">Made by rowmender {{ version }}.</footer>
</body>
</html>
"""
