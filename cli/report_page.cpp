#include "cli/report_page.h"

namespace diffmark::cli {

const char* const kReportStyle = R"css(
:root { color-scheme: light; --line: #d0d4da; --muted: #5c6670; --accent: #2f6fd0; }
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: #1d232a; background: #f4f5f7; }
header, main { max-width: 1600px; margin: 0 auto; padding: 16px 24px; }
header { padding-top: 24px; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 0; font-weight: 600; word-break: break-all; }
h2.group { font-size: 18px; margin: 24px 0 8px; }
code { font: 13px/1.4 ui-monospace, "SFMono-Regular", Menlo, Consolas, monospace; }
.where, .settings { color: var(--muted); margin: 2px 0; }
.totals { display: flex; flex-wrap: wrap; gap: 12px; margin: 16px 0 0; padding: 0; list-style: none; }
.totals li { background: #fff; border: 1px solid var(--line); border-left-width: 6px; border-radius: 6px; min-width: 120px; }
.totals a { display: block; padding: 8px 16px; color: inherit; text-decoration: none; }
.totals .count { display: block; font-size: 26px; font-weight: 700; }
.equal { border-left-color: #3c9a5f !important; }
.changed { border-left-color: #d9822b !important; }
.added { border-left-color: #2f80c9 !important; }
.removed { border-left-color: #8a63d2 !important; }
.errors, .error { border-left-color: #d1453b !important; }
.bar { position: sticky; top: 0; z-index: 5; display: flex; flex-wrap: wrap; align-items: center; gap: 12px; background: #f4f5f7ee; border-bottom: 1px solid var(--line); padding: 8px 24px; }
.bar input[type=search] { font: inherit; padding: 4px 8px; width: 320px; max-width: 100%; border: 1px solid var(--line); border-radius: 4px; }
.bar .keys { color: var(--muted); font-size: 13px; }
kbd { font: 12px ui-monospace, monospace; border: 1px solid var(--line); border-bottom-width: 2px; border-radius: 3px; padding: 0 4px; background: #fff; }
button { font: inherit; font-size: 13px; padding: 3px 10px; border: 1px solid var(--line); border-radius: 4px; background: #fff; cursor: pointer; }
button[aria-pressed=true] { background: var(--accent); border-color: var(--accent); color: #fff; }
button:disabled { opacity: .45; cursor: default; }
.problems { background: #fff; border: 1px solid var(--line); border-left: 6px solid #d1453b; border-radius: 6px; padding: 8px 16px; margin: 0 0 16px; }
.problems ul { margin: 4px 0; padding-left: 20px; }
.none { color: var(--muted); }
article { background: #fff; border: 1px solid var(--line); border-left-width: 6px; border-radius: 6px; padding: 12px 16px 16px; margin: 0 0 16px; scroll-margin-top: 56px; }
/* Pairs off the screen are neither laid out nor painted: thousands open at once. */
article.pair { content-visibility: auto; contain-intrinsic-size: auto 120px; }
article.current { outline: 2px solid var(--accent); outline-offset: 2px; }
article.accepted { background: #f3faf5; }
.status { display: inline-block; font-size: 12px; font-weight: 700; text-transform: uppercase; letter-spacing: .04em; color: #fff; border-radius: 4px; padding: 1px 6px; margin-right: 8px; vertical-align: 2px; }
article.changed .status { background: #d9822b; }
article.added .status { background: #2f80c9; }
article.removed .status { background: #8a63d2; }
article.error .status { background: #d1453b; }
.ok { display: none; margin-left: 8px; color: #2a7a48; font-size: 13px; font-weight: 700; }
article.accepted .ok { display: inline; }
.counts { margin: 4px 0 8px; color: var(--muted); }
.tools { display: flex; flex-wrap: wrap; gap: 6px; align-items: center; margin: 0 0 10px; }
.tools .accept { margin-left: auto; }
.sides { display: grid; grid-template-columns: repeat(3, minmax(0, 1fr)); gap: 12px; }
figure { margin: 0; }
figcaption { font-size: 13px; color: var(--muted); margin-bottom: 4px; }
figure > a { display: block; }
.frame { position: relative; display: block; width: 100%; border: 1px solid var(--line); background: repeating-conic-gradient(#eceef1 0 25%, #fff 0 50%) 0 0 / 16px 16px; overflow: hidden; }
.frame img { display: block; width: 100%; height: auto; }
.frame img.small { image-rendering: pixelated; }
.box { position: absolute; border: 2px solid #e0218a; box-shadow: 0 0 0 1px #fff; pointer-events: none; }
.ignored { position: absolute; pointer-events: none; background: repeating-linear-gradient(45deg, #6a737d55 0 4px, transparent 4px 8px); outline: 1px dashed #6a737d; }
.stack { position: relative; max-width: 100%; border: 1px solid var(--line); background: repeating-conic-gradient(#eceef1 0 25%, #fff 0 50%) 0 0 / 16px 16px; overflow: hidden; user-select: none; touch-action: none; }
.stack .layer { position: absolute; left: 0; top: 0; }
.stack .layer img { display: block; width: 100%; height: auto; }
.stack.small .layer img, .crop.small img { image-rendering: pixelated; }
.stack .handle { position: absolute; top: 0; bottom: 0; width: 0; border-left: 2px solid #fff; box-shadow: 0 0 0 1px #0008; pointer-events: none; }
.stack .label { position: absolute; top: 4px; font-size: 12px; font-weight: 700; color: #fff; background: #000a; border-radius: 3px; padding: 0 6px; pointer-events: none; }
.view-slider .stack { cursor: ew-resize; }
.view-toggle .stack { cursor: pointer; }
.range { display: flex; align-items: center; gap: 8px; margin-top: 6px; font-size: 13px; color: var(--muted); }
.range input { flex: 1; max-width: 480px; }
.zoom-title { margin: 12px 0 4px; font-size: 13px; color: var(--muted); }
.zoom { display: flex; flex-wrap: wrap; gap: 12px; }
.zoom figure { flex: 0 1 260px; }
.crop { position: relative; overflow: hidden; width: 100%; border: 1px solid var(--line); background: #fff; }
.crop img { position: absolute; max-width: none; height: auto; }
.missing { display: flex; align-items: center; justify-content: center; min-height: 120px; border: 1px dashed var(--line); color: var(--muted); }
.reason { color: #a1261d; }
details.group { margin: 24px 0 8px; }
details.group summary { font-size: 18px; font-weight: 600; cursor: pointer; }
ul.equal-list { columns: 3 280px; padding-left: 20px; }
footer { max-width: 1600px; margin: 0 auto; padding: 0 24px 24px; color: var(--muted); font-size: 13px; }
)css";

const char* const kReportScript = R"js(
"use strict";
(function () {
  var data = JSON.parse(document.getElementById("diffmark-data").textContent);
  var pairs = data.pairs;
  var VIEWS = ["sides", "slider", "blend", "toggle", "marked"];
  var NAMES = { sides: "side by side", slider: "slider", blend: "blend", toggle: "toggle", marked: "marked only" };
  var articles = Array.prototype.slice.call(document.querySelectorAll("article.pair"));
  var items = Array.prototype.slice.call(document.querySelectorAll(".pair[data-i]"));
  var lower = items.map(function (e) { return pairs[Number(e.dataset.i)].path.toLowerCase(); });
  var accepted = new Set();
  var current = null;

  function make(tag, attributes, children) {
    var e = document.createElement(tag);
    for (var k in attributes || {}) {
      if (k === "text") e.textContent = attributes[k];
      else if (k === "style") e.style.cssText = attributes[k];
      else e.setAttribute(k, attributes[k]);
    }
    (children || []).forEach(function (c) { if (c) e.appendChild(c); });
    return e;
  }
  function url(name) {
    return data.folder.split("/").map(encodeURIComponent).join("/") + "/" + encodeURIComponent(name);
  }
  function pct(v, of) { return (100 * v / of) + "%"; }
  function image(side, role) {
    return make("img", { src: url(side.picture), alt: role, width: side.width, height: side.height,
                         loading: "lazy", decoding: "async", draggable: "false" });
  }
  /* The box of the differences and the ignored regions, over a picture of w x h. */
  function marks(frame, p, w, h) {
    (data.ignored || []).forEach(function (r) {
      frame.appendChild(make("div", { class: "ignored", title: "ignored",
        style: "left:" + pct(r.x, w) + ";top:" + pct(r.y, h) + ";width:" + pct(r.width, w) + ";height:" + pct(r.height, h) }));
    });
    if (p.bbox) {
      var b = p.bbox;
      frame.appendChild(make("div", { class: "box",
        style: "left:" + pct(b.x, w) + ";top:" + pct(b.y, h) + ";width:" + pct(b.width, w) + ";height:" + pct(b.height, h) }));
    }
    return frame;
  }
  function framed(p, side, role) {
    var img = image(side, role);
    if (side.width < 320 && side.height < 320) img.className = "small";  /* enlarged: pixels stay sharp */
    return marks(make("span", { class: "frame" }, [img]), p, side.width, side.height);
  }
  function sides(p) {
    return [["base", p.base], ["other", p.other], ["marked", p.marked]];
  }
  function figure(p, role, side, absent) {
    var caption = make("figcaption", { text: role + (side ? " \u00b7 " + side.width + " \u00d7 " + side.height : "") });
    if (!side) return make("figure", {}, [caption, make("div", { class: "missing", text: absent })]);
    var link = make("a", { href: url(side.picture), target: "_blank", title: "open at full size" }, [framed(p, side, role)]);
    return make("figure", {}, [caption, link]);
  }
  /* The pictures laid over each other at their top-left corners, scaled alike. */
  function stack(p, layers) {
    var w = Math.max(p.base ? p.base.width : 0, p.other ? p.other.width : 0);
    var h = Math.max(p.base ? p.base.height : 0, p.other ? p.other.height : 0);
    var s = make("div", { class: w < 320 && h < 320 ? "stack small" : "stack", style: "width:" + Math.max(w, Math.min(480, w * 16)) + "px;aspect-ratio:" + w + "/" + h });
    layers.forEach(function (l) {
      var side = p[l];
      var layer = make("div", { class: "layer " + l, style: "width:" + pct(side.width, w) }, [image(side, l)]);
      marks(layer, p, side.width, side.height);
      s.appendChild(layer);
    });
    return s;
  }
  var build = {
    sides: function (p) {
      var absent = { base: "not in base", other: "not in other", marked: p.status === "changed" ? "cannot be shown" : "nothing to compare" };
      return make("div", { class: "sides" }, sides(p).map(function (s) { return figure(p, s[0], s[1], absent[s[0]]); }));
    },
    slider: function (p, view) {
      var s = stack(p, ["base", "other"]);
      var handle = make("div", { class: "handle" });
      s.appendChild(handle);
      s.appendChild(make("span", { class: "label", text: "base", style: "left:4px" }));
      s.appendChild(make("span", { class: "label", text: "other", style: "right:4px" }));
      var range = make("input", { type: "range", min: "0", max: "100", step: "0.1", value: "50", "aria-label": "slider position" });
      var top = s.querySelector(".layer.other");
      function set(v) {
        v = Math.max(0, Math.min(100, v));
        top.style.clipPath = "inset(0 0 0 " + v + "%)";
        handle.style.left = v + "%";
        range.value = String(v);
        view.dataset.position = String(Math.round(v));
      }
      function from(ev) { var r = s.getBoundingClientRect(); set(100 * (ev.clientX - r.left) / r.width); }
      s.addEventListener("pointerdown", function (ev) { s.setPointerCapture(ev.pointerId); from(ev); ev.preventDefault(); });
      s.addEventListener("pointermove", function (ev) { if (s.hasPointerCapture(ev.pointerId)) from(ev); });
      range.addEventListener("input", function () { set(Number(range.value)); });
      set(50);
      return make("div", {}, [s, make("label", { class: "range" }, [document.createTextNode("base"), range, document.createTextNode("other")])]);
    },
    blend: function (p, view) {
      var s = stack(p, ["base", "other"]);
      var top = s.querySelector(".layer.other");
      var range = make("input", { type: "range", min: "0", max: "100", value: "50", "aria-label": "opacity of other" });
      function set() { top.style.opacity = String(Number(range.value) / 100); view.dataset.opacity = range.value; }
      range.addEventListener("input", set);
      set();
      return make("div", {}, [s, make("label", { class: "range" }, [document.createTextNode("base"), range, document.createTextNode("other")])]);
    },
    toggle: function (p, view) {
      var s = stack(p, ["base", "other"]);
      var label = make("span", { class: "label", style: "left:4px" });
      s.appendChild(label);
      var top = s.querySelector(".layer.other");
      view.flip = function () {
        var showOther = view.dataset.showing !== "other";
        view.dataset.showing = showOther ? "other" : "base";
        top.style.visibility = showOther ? "visible" : "hidden";
        label.textContent = view.dataset.showing + " (click or t)";
      };
      view.dataset.showing = "other";
      view.flip();
      s.addEventListener("click", function () { view.flip(); });
      return s;
    },
    marked: function (p) {
      var w = p.marked.width;
      return make("div", { style: "max-width:" + Math.max(w, Math.min(480, w * 16)) + "px" },
                  [figure(p, "marked", p.marked, "nothing marked")]);
    }
  };
  /* Crops of the three pictures, zoomed onto the box of the differences. */
  function zoom(p) {
    if (!p.bbox) return null;
    var b = p.bbox;
    var w = p.base.width, h = p.base.height;
    var pad = Math.max(4, Math.round(Math.max(b.width, b.height) * 0.15));
    var x0 = Math.max(0, b.x - pad), y0 = Math.max(0, b.y - pad);
    var x1 = Math.min(Math.max(w, p.other.width), b.x + b.width + pad), y1 = Math.min(Math.max(h, p.other.height), b.y + b.height + pad);
    var cw = x1 - x0, ch = y1 - y0;
    var figures = sides(p).filter(function (s) { return s[1]; }).map(function (s) {
      var side = s[1];
      var img = image(side, s[0] + " (zoomed)");
      img.style.cssText = "width:" + pct(side.width, cw) + ";left:" + pct(-x0, cw) + ";top:" + pct(-y0, ch);
      var crop = make("span", { class: cw < 200 ? "crop small" : "crop", style: "display:block;aspect-ratio:" + cw + "/" + ch }, [img]);
      crop.appendChild(make("div", { class: "box", style: "left:" + pct(b.x - x0, cw) + ";top:" + pct(b.y - y0, ch) +
        ";width:" + pct(b.width, cw) + ";height:" + pct(b.height, ch) }));
      return make("figure", {}, [make("figcaption", { text: s[0] }),
                                 make("a", { href: url(side.picture), target: "_blank", title: "open at full size" }, [crop])]);
    });
    var title = make("p", { class: "zoom-title", text: "zoomed onto the differences: x " + x0 + ", y " + y0 + ", " + cw + " \u00d7 " + ch });
    return make("div", {}, [title, make("div", { class: "zoom" }, figures)]);
  }
  function acceptable(p) { return p.status === "changed" || p.status === "added" || p.status === "removed"; }
  function pairOf(article) { return pairs[Number(article.dataset.i)]; }
  function open(article) {
    if (article.built || article.classList.contains("error")) return;
    article.built = true;
    var p = pairOf(article);
    var both = p.base && p.other;
    var tools = make("div", { class: "tools" });
    VIEWS.forEach(function (v, k) {
      var b = make("button", { type: "button", "data-view": v, title: "key " + (k + 1), text: (k + 1) + " " + NAMES[v] });
      if (!both && v !== "sides" && v !== "marked") b.disabled = true;
      if (v === "marked" && !p.marked) b.disabled = true;
      b.addEventListener("click", function () { show(article, v); });
      tools.appendChild(b);
    });
    if (acceptable(p)) {
      var a = make("button", { type: "button", class: "accept", title: "key a", "aria-pressed": "false", text: "accept" });
      a.addEventListener("click", function () { accept(article); });
      tools.appendChild(a);
    }
    var view = make("div", { class: "view" });
    var viewer = article.querySelector(".viewer");
    viewer.appendChild(tools);
    viewer.appendChild(view);
    var z = zoom(p);
    if (z) viewer.appendChild(z);
    show(article, "sides");
  }
  function show(article, v) {
    open(article);
    var p = pairOf(article);
    var button = article.querySelector('.tools [data-view="' + v + '"]');
    if (!button || button.disabled) return;
    var view = article.querySelector(".view");
    if (view.dataset.view === v) return;
    view.replaceChildren();
    view.className = "view view-" + v;
    delete view.flip;
    view.dataset.view = v;
    view.appendChild(build[v](p, view));
    article.querySelectorAll(".tools [data-view]").forEach(function (b) { b.setAttribute("aria-pressed", String(b.dataset.view === v)); });
  }
  function accept(article) {
    var i = Number(article.dataset.i);
    if (!acceptable(pairs[i])) return;
    open(article);
    var on = !accepted.has(i);
    if (on) accepted.add(i); else accepted.delete(i);
    article.classList.toggle("accepted", on);
    var b = article.querySelector(".accept");
    b.setAttribute("aria-pressed", String(on));
    b.textContent = on ? "accepted" : "accept";
    document.getElementById("accepted-count").textContent = String(accepted.size);
    document.getElementById("export").disabled = accepted.size === 0;
  }
  function fileRecord(side) { return side && side.fnv1a64 ? { bytes: side.bytes, fnv1a64: side.fnv1a64 } : null; }
  function approvals() {
    return {
      diffmark_approvals: 1,
      hash: "fnv1a64",
      base: data.base,
      other: data.other,
      pairs: Array.from(accepted).sort(function (a, b) { return a - b; }).map(function (i) {
        var p = pairs[i];
        return { path: p.path, status: p.status, base: fileRecord(p.base), other: fileRecord(p.other) };
      })
    };
  }
  function exportApprovals() {
    var text = JSON.stringify(approvals(), null, 1) + "\n";
    var link = make("a", { href: URL.createObjectURL(new Blob([text], { type: "application/json" })), download: "approvals.json" });
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(function () { URL.revokeObjectURL(link.href); }, 10000);
  }
  function visible(e) { return !e.hidden && !(e.closest("details") && !e.closest("details").open); }
  function select(article, scroll) {
    if (current) current.classList.remove("current");
    current = article;
    if (!article) return;
    article.classList.add("current");
    if (article.tagName === "ARTICLE") open(article);
    if (scroll) article.scrollIntoView({ block: "start" });
    history.replaceState(null, "", "#" + encodeURIComponent(article.id).replace(/%2F/g, "/"));
  }
  function step(by) {
    var list = articles.filter(visible);
    if (!list.length) return;
    var at = list.indexOf(current);
    select(list[at < 0 ? (by > 0 ? 0 : list.length - 1) : Math.max(0, Math.min(list.length - 1, at + by))], true);
  }
  function fromHash() {
    if (!location.hash) return;
    var id = location.hash.slice(1);
    try { id = decodeURIComponent(id); } catch (e) { /* kept as it is */ }
    var target = document.getElementById(id);
    if (target && target.tagName === "DETAILS") target.open = true;  /* the totals' link to the equal ones */
    if (!target || !target.classList.contains("pair")) return;
    var d = target.closest("details");
    if (d) d.open = true;
    select(target, true);
  }
  var filter = document.getElementById("filter");
  var pending = 0;
  function applyFilter() {
    pending = 0;
    var q = filter.value.trim().toLowerCase();
    var shown = 0;
    for (var k = 0; k < items.length; k++) {
      var hide = q !== "" && lower[k].indexOf(q) < 0;
      if (items[k].hidden !== hide) items[k].hidden = hide;
      if (!hide) shown++;
    }
    document.getElementById("shown").textContent = q ? shown + " of " + items.length + " shown" : "";
  }
  filter.addEventListener("input", function () { if (!pending) pending = requestAnimationFrame(applyFilter); });
  filter.addEventListener("keydown", function (ev) { if (ev.key === "Escape" || ev.key === "Enter") filter.blur(); });
  document.getElementById("export").addEventListener("click", exportApprovals);
  document.addEventListener("keydown", function (ev) {
    if (ev.ctrlKey || ev.metaKey || ev.altKey) return;
    var t = ev.target;
    if (t && (t.tagName === "INPUT" && t.type !== "range" || t.tagName === "TEXTAREA")) return;
    var k = ev.key;
    if (k === "j" || k === "ArrowDown") step(1);
    else if (k === "k" || k === "ArrowUp") step(-1);
    else if (k === "/") filter.focus();
    else if (current && current.tagName === "ARTICLE" && k >= "1" && k <= "5") show(current, VIEWS[Number(k) - 1]);
    else if (current && current.tagName === "ARTICLE" && k === "t") {
      var view = current.querySelector(".view");
      if (view && view.dataset.view === "toggle") view.flip(); else show(current, "toggle");
    } else if (current && k === "a") accept(current);
    else return;
    ev.preventDefault();
  });
  articles.forEach(function (a) {
    a.addEventListener("click", function (ev) { if (current !== a && !ev.target.closest("a")) select(a, false); });
  });
  if ("IntersectionObserver" in window) {
    var seen = new IntersectionObserver(function (entries) {
      entries.forEach(function (e) { if (e.isIntersecting) { seen.unobserve(e.target); open(e.target); } });
    }, { rootMargin: "600px 0px" });
    articles.forEach(function (a) { seen.observe(a); });
  } else {
    articles.forEach(open);
  }
  window.addEventListener("hashchange", fromHash);
  fromHash();
  /* For programs that drive the page: open a pair, and what would be exported. */
  window.diffmarkReport = { open: open, show: show, accept: accept, approvals: approvals, select: select };
})();
)js";

}  // namespace diffmark::cli
