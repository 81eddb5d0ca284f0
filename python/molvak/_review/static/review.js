// The review page: one dispersion image at a time with its picks, edited by
// clicks and boxes, saved through the local server. Plain JavaScript, no
// libraries; every request carries the run's token in a header.
"use strict";
(() => {
  const TOKEN = new URLSearchParams(location.search).get("token") || "";
  const MODES = 5;
  const MODE_COLOURS = ["#ff3b3b", "#ffa21f", "#ff4dff", "#2fe0ff", "#ffffff"];
  const INVALID = "#b0b0b0";
  const SNAP = 0.05;          // relative half-width of the velocity window a click snaps in
  const CACHE = 24;           // images kept in memory
  const VIRIDIS = [[68, 1, 84], [72, 36, 117], [65, 68, 135], [53, 95, 141], [42, 120, 142],
    [33, 145, 140], [34, 168, 132], [68, 191, 112], [122, 209, 81], [189, 223, 38],
    [253, 231, 37]];
  const $ = (id) => document.getElementById(id);

  const LUT = new Uint8ClampedArray(256 * 3);
  for (let k = 0; k < 256; k++) {
    const x = k / 255 * (VIRIDIS.length - 1), i = Math.min(Math.floor(x), VIRIDIS.length - 2);
    const t = x - i;
    for (let c = 0; c < 3; c++) LUT[3 * k + c] = VIRIDIS[i][c] * (1 - t) + VIRIDIS[i + 1][c] * t;
  }

  const state = {
    items: [], index: -1, images: new Map(), pending: new Map(), edits: new Map(),
    mode: 0, box: "invalidate", stats: null, drag: null, saves: 0,
  };

  // ------------------------------------------------------------------ server

  async function api(path, options = {}) {
    options.headers = Object.assign({ "X-Molvak-Token": TOKEN }, options.headers || {});
    const r = await fetch(path, options);
    if (!r.ok) {
      let text = `${r.status} ${r.statusText}`;
      try { text = (await r.json()).error || text; } catch (e) { /* not JSON */ }
      throw new Error(text);
    }
    return r;
  }

  function fetchImage(id) {
    if (state.images.has(id)) {
      const hit = state.images.get(id);
      state.images.delete(id);
      state.images.set(id, hit);
      return Promise.resolve(hit);
    }
    if (state.pending.has(id)) return state.pending.get(id);
    const p = api("/api/image?id=" + encodeURIComponent(id)).then((r) => r.arrayBuffer())
      .then((buf) => {
        const n = new DataView(buf).getUint32(0, true);
        const meta = JSON.parse(new TextDecoder().decode(new Uint8Array(buf, 4, n)));
        const power = new Float32Array(buf, 4 + n);
        const img = { meta, power, bitmap: bitmap(meta, power) };
        state.images.set(id, img);
        while (state.images.size > CACHE) state.images.delete(state.images.keys().next().value);
        return img;
      }).finally(() => state.pending.delete(id));
    state.pending.set(id, p);
    return p;
  }

  async function fetchPicks(id) {
    if (state.edits.has(id)) return state.edits.get(id);
    const body = await (await api("/api/picks?id=" + encodeURIComponent(id))).json();
    const e = { rows: body.rows, extra: body.extra, version: body.version, source: body.source,
      undo: [], redo: [], dirty: false };
    state.edits.set(id, e);
    return e;
  }

  // ------------------------------------------------------------------ geometry

  function bitmap(meta, power) {
    const nf = meta.frequency.length, nc = meta.velocity.length;
    const c = document.createElement("canvas");
    c.width = nf; c.height = nc;
    const ctx = c.getContext("2d"), im = ctx.createImageData(nf, nc), d = im.data;
    for (let i = 0; i < nf; i++) {
      for (let j = 0; j < nc; j++) {
        const p = power[i * nc + j];
        const k = p > 0 ? Math.min(255, Math.round(p * 255)) : 0;
        const o = ((nc - 1 - j) * nf + i) * 4;
        d[o] = LUT[3 * k]; d[o + 1] = LUT[3 * k + 1]; d[o + 2] = LUT[3 * k + 2]; d[o + 3] = 255;
      }
    }
    ctx.putImageData(im, 0, 0);
    return c;
  }

  function extent(meta) {
    const f = meta.frequency, v = meta.velocity, nf = f.length, nc = v.length;
    const df = nf > 1 ? (f[nf - 1] - f[0]) / (nf - 1) : 1;
    const dv = (v[nc - 1] - v[0]) / (nc - 1);
    return { f0: f[0] - df / 2, f1: f[nf - 1] + df / 2, v0: v[0] - dv / 2, v1: v[nc - 1] + dv / 2 };
  }

  function frame(canvas) {
    const w = canvas.clientWidth, h = canvas.clientHeight;
    return { w, h, x0: 72, x1: w - 96, y0: 34, y1: h - 48 };
  }

  function mapper(meta, fr) {
    const e = extent(meta);
    return {
      x: (f) => fr.x0 + (f - e.f0) / (e.f1 - e.f0) * (fr.x1 - fr.x0),
      y: (v) => fr.y1 - (v - e.v0) / (e.v1 - e.v0) * (fr.y1 - fr.y0),
      f: (x) => e.f0 + (x - fr.x0) / (fr.x1 - fr.x0) * (e.f1 - e.f0),
      v: (y) => e.v0 + (fr.y1 - y) / (fr.y1 - fr.y0) * (e.v1 - e.v0),
      e,
    };
  }

  function nearest(a, x) {
    let lo = 0, hi = a.length - 1;
    while (hi - lo > 1) { const m = (lo + hi) >> 1; if (a[m] <= x) lo = m; else hi = m; }
    return Math.abs(a[hi] - x) < Math.abs(a[lo] - x) ? hi : lo;
  }

  // The pick a click at (f, v) makes: the nearest frequency row, the largest
  // normalised power within SNAP of v, refined by the vertex of the parabola
  // through it and its neighbours when it is a local peak.
  function snap(img, f, v) {
    const F = img.meta.frequency, V = img.meta.velocity, P = img.power, nc = V.length;
    const i = nearest(F, f), j = nearest(V, v), row = i * nc;
    const step = (V[nc - 1] - V[0]) / (nc - 1);
    const half = Math.max(2, Math.round(SNAP * Math.abs(v) / step));
    const lo = Math.max(0, j - half), hi = Math.min(nc - 1, j + half);
    let k = lo;
    for (let m = lo + 1; m <= hi; m++) if (P[row + m] > P[row + k]) k = m;
    let vel = V[k];
    if (k > 0 && k < nc - 1 && P[row + k] >= P[row + k - 1] && P[row + k] >= P[row + k + 1]) {
      const x0 = V[k - 1], x1 = V[k], x2 = V[k + 1];
      const y0 = P[row + k - 1], y1 = P[row + k], y2 = P[row + k + 1];
      const a = x1 - x0, b = x1 - x2;
      const den = a * (y1 - y2) - b * (y1 - y0);
      if (den !== 0) vel = x1 - 0.5 * (a * a * (y1 - y2) - b * b * (y1 - y0)) / den;
    }
    return { frequency: F[i], velocity: vel, row: i };
  }

  // ------------------------------------------------------------------ editing

  function current() { return state.items[state.index]; }

  function change(fn) {
    const it = current();
    if (!it) return;
    const e = state.edits.get(it.id);
    if (!e) return;
    const before = JSON.stringify(e.rows);
    const rows = JSON.parse(before);
    if (fn(rows) === false) return;
    rows.sort((a, b) => a.mode - b.mode || a.frequency - b.frequency);
    if (JSON.stringify(rows) === before) return;
    e.undo.push(e.rows);
    e.redo = [];
    e.rows = rows;
    e.dirty = true;
    refresh();
  }

  function addOrMove(f, v) {
    const img = state.images.get(current().id);
    if (!img) return;
    const s = snap(img, f, v);
    change((rows) => {
      const F = img.meta.frequency;
      const at = rows.findIndex((r) => r.mode === state.mode && nearest(F, r.frequency) === s.row);
      if (at >= 0) {
        Object.assign(rows[at], { frequency: s.frequency, velocity: s.velocity,
          wavelength: s.velocity / s.frequency, valid: 1, edited: 1 });
      } else {
        rows.push({ frequency: s.frequency, velocity: s.velocity,
          wavelength: s.velocity / s.frequency, quality: null, valid: 1, mode: state.mode,
          edited: 1, extra: {} });
      }
    });
  }

  function boxAction(fa, fb, va, vb, action) {
    const inside = (r) => r.frequency >= Math.min(fa, fb) && r.frequency <= Math.max(fa, fb) &&
      r.velocity >= Math.min(va, vb) && r.velocity <= Math.max(va, vb);
    change((rows) => {
      if (action === "remove") {
        const kept = rows.filter((r) => !inside(r));
        rows.length = 0;
        rows.push(...kept);
        return;
      }
      if (action === "mode") {
        // to the current mode, unless that mode already has a pick at the frequency
        const taken = new Set(rows.filter((r) => r.mode === state.mode).map((r) => r.frequency));
        for (const r of rows) {
          if (inside(r) && r.mode !== state.mode && !taken.has(r.frequency)) {
            r.mode = state.mode; r.edited = 1; taken.add(r.frequency);
          }
        }
        return;
      }
      const valid = action === "validate" ? 1 : 0;
      for (const r of rows) if (inside(r) && r.valid !== valid) { r.valid = valid; r.edited = 1; }
    });
  }

  function undo(back = true) {
    const it = current();
    const e = it && state.edits.get(it.id);
    if (!e) return;
    const from = back ? e.undo : e.redo, to = back ? e.redo : e.undo;
    if (!from.length) return;
    to.push(e.rows);
    e.rows = from.pop();
    e.dirty = true;
    refresh();
  }

  async function save() {
    const it = current();
    const e = it && state.edits.get(it.id);
    if (!e) return;
    try {
      const r = await api("/api/picks?id=" + encodeURIComponent(it.id), {
        method: "POST", headers: { "Content-Type": "application/json" },
        body: JSON.stringify({ rows: e.rows, extra: e.extra, version: e.version }),
      });
      const res = await r.json();
      const fresh = await (await api("/api/picks?id=" + encodeURIComponent(it.id))).json();
      Object.assign(e, { rows: fresh.rows, version: fresh.version, source: fresh.source,
        dirty: false });
      it.reviewed = true;
      state.stats = res.statistics;
      state.saves += 1;
      message(`saved ${res.saved}`);
      document.documentElement.dataset.saves = String(state.saves);
      refresh();
    } catch (err) {
      message(`not saved: ${err.message}`, true);
    }
  }

  // ------------------------------------------------------------------ drawing

  function niceTicks(a, b, n) {
    const span = b - a, raw = span / n, mag = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 5, 10].map((m) => m * mag).find((s) => span / s <= n) || 10 * mag;
    const out = [];
    for (let t = Math.ceil(a / step) * step; t <= b + 1e-9 * span; t += step) {
      out.push(Math.abs(t) < 1e-12 * span ? 0 : t);
    }
    return out;
  }

  function fmt(x) { return Number.isInteger(x) ? String(x) : x.toPrecision(3).replace(/\.?0+$/, ""); }

  function setup(canvas) {
    const dpr = window.devicePixelRatio || 1;
    const w = canvas.clientWidth, h = canvas.clientHeight;
    if (canvas.width !== Math.round(w * dpr) || canvas.height !== Math.round(h * dpr)) {
      canvas.width = Math.round(w * dpr);
      canvas.height = Math.round(h * dpr);
    }
    const ctx = canvas.getContext("2d");
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, w, h);
    return ctx;
  }

  function axes(ctx, fr, m, xlabel, ylabel, fontSize = 12) {
    ctx.save();
    ctx.strokeStyle = "#c8c8c8";
    ctx.fillStyle = "#e6e6e6";
    ctx.font = `${fontSize}px "DejaVu Sans", sans-serif`;
    ctx.lineWidth = 1;
    ctx.strokeRect(fr.x0 + 0.5, fr.y0 + 0.5, fr.x1 - fr.x0, fr.y1 - fr.y0);
    ctx.textAlign = "center"; ctx.textBaseline = "top";
    for (const t of niceTicks(m.e.f0, m.e.f1, Math.max(2, (fr.x1 - fr.x0) / 70))) {
      const x = m.x(t);
      ctx.beginPath(); ctx.moveTo(x, fr.y1); ctx.lineTo(x, fr.y1 + 5); ctx.stroke();
      ctx.fillText(fmt(t), x, fr.y1 + 7);
    }
    ctx.fillText(xlabel, (fr.x0 + fr.x1) / 2, fr.y1 + 10 + fontSize);
    ctx.textAlign = "right"; ctx.textBaseline = "middle";
    for (const t of niceTicks(m.e.v0, m.e.v1, Math.max(2, (fr.y1 - fr.y0) / 45))) {
      const y = m.y(t);
      ctx.beginPath(); ctx.moveTo(fr.x0 - 5, y); ctx.lineTo(fr.x0, y); ctx.stroke();
      ctx.fillText(fmt(t), fr.x0 - 7, y);
    }
    ctx.translate(14, (fr.y0 + fr.y1) / 2);
    ctx.rotate(-Math.PI / 2);
    ctx.textAlign = "center";
    ctx.fillText(ylabel, 0, 0);
    ctx.restore();
  }

  function marker(ctx, x, y, r, colour, valid, edited) {
    ctx.beginPath();
    if (edited) {
      ctx.moveTo(x, y - r * 1.3); ctx.lineTo(x + r * 1.3, y); ctx.lineTo(x, y + r * 1.3);
      ctx.lineTo(x - r * 1.3, y); ctx.closePath();
    } else {
      ctx.arc(x, y, r, 0, 2 * Math.PI);
    }
    if (valid) {
      ctx.fillStyle = colour; ctx.fill();
      ctx.lineWidth = 1; ctx.strokeStyle = "#000"; ctx.stroke();
    } else {
      ctx.lineWidth = 1.5; ctx.strokeStyle = colour; ctx.globalAlpha = 0.8; ctx.stroke();
      ctx.globalAlpha = 1; ctx.strokeStyle = INVALID;
      ctx.beginPath();
      ctx.moveTo(x - r * 0.7, y - r * 0.7); ctx.lineTo(x + r * 0.7, y + r * 0.7);
      ctx.moveTo(x - r * 0.7, y + r * 0.7); ctx.lineTo(x + r * 0.7, y - r * 0.7);
      ctx.stroke();
    }
  }

  function limitLines(ctx, fr, m, limits) {
    const lines = [
      ["lambda_min", "λ min", [6, 4]], ["lambda_max", "λ max", [6, 4]],
      ["near_field", "near field", [2, 3]], ["gauge", "gauge", [1, 2]],
    ];
    ctx.save();
    ctx.beginPath(); ctx.rect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0); ctx.clip();
    const fa = m.e.f0, fb = m.e.f1;
    // shade the wavelengths the array does not resolve
    ctx.fillStyle = "rgba(0, 0, 0, 0.28)";
    if (limits.lambda_max) {
      ctx.beginPath(); ctx.moveTo(m.x(fa), m.y(limits.lambda_max * fa));
      ctx.lineTo(m.x(fb), m.y(limits.lambda_max * fb)); ctx.lineTo(m.x(fb), fr.y0 - 1);
      ctx.lineTo(m.x(fa), fr.y0 - 1); ctx.closePath(); ctx.fill();
    }
    if (limits.lambda_min) {
      ctx.beginPath(); ctx.moveTo(m.x(fa), m.y(limits.lambda_min * fa));
      ctx.lineTo(m.x(fb), m.y(limits.lambda_min * fb)); ctx.lineTo(m.x(fb), fr.y1 + 1);
      ctx.lineTo(m.x(fa), fr.y1 + 1); ctx.closePath(); ctx.fill();
    }
    ctx.font = '11px "DejaVu Sans", sans-serif';
    for (const [key, label, dash] of lines) {
      const lam = limits[key];
      if (!lam) continue;
      ctx.setLineDash(dash); ctx.strokeStyle = "#ffffff"; ctx.lineWidth = 1.3;
      ctx.beginPath(); ctx.moveTo(m.x(fa), m.y(lam * fa)); ctx.lineTo(m.x(fb), m.y(lam * fb));
      ctx.stroke();
      // label where the line leaves the frame
      const fEnd = Math.min(fb, m.e.v1 / lam);
      const x = m.x(fEnd), y = m.y(lam * fEnd);
      ctx.setLineDash([]);
      ctx.fillStyle = "#ffffff"; ctx.textAlign = "right"; ctx.textBaseline = "top";
      ctx.fillText(`${label} ${fmt(lam)} m`, Math.min(x, fr.x1) - 4, Math.max(y, fr.y0) + 3);
    }
    ctx.restore();
  }

  function colourbar(ctx, fr) {
    const x = fr.x1 + 14, w = 12, y0 = fr.y0, y1 = fr.y1;
    for (let k = 0; k < 256; k++) {
      ctx.fillStyle = `rgb(${LUT[3 * k]},${LUT[3 * k + 1]},${LUT[3 * k + 2]})`;
      const ya = y1 - (k + 1) / 256 * (y1 - y0), yb = y1 - k / 256 * (y1 - y0);
      ctx.fillRect(x, ya, w, yb - ya + 0.5);
    }
    ctx.strokeStyle = "#c8c8c8"; ctx.strokeRect(x + 0.5, y0 + 0.5, w, y1 - y0);
    ctx.fillStyle = "#e6e6e6"; ctx.font = '11px "DejaVu Sans", sans-serif';
    ctx.textAlign = "left"; ctx.textBaseline = "middle";
    for (const t of [0, 0.25, 0.5, 0.75, 1]) ctx.fillText(fmt(t), x + w + 4, y1 - t * (y1 - y0));
    ctx.save();
    ctx.translate(x + w + 38, (y0 + y1) / 2); ctx.rotate(Math.PI / 2); ctx.textAlign = "center";
    ctx.fillText("power, normalised at each frequency", 0, 0);
    ctx.restore();
  }

  function draw() {
    const canvas = $("image"), it = current();
    const ctx = setup(canvas);
    if (!it) return;
    const img = state.images.get(it.id), e = state.edits.get(it.id);
    const fr = frame(canvas);
    ctx.fillStyle = "#e6e6e6"; ctx.font = '13px "DejaVu Sans", sans-serif';
    ctx.textAlign = "left"; ctx.textBaseline = "alphabetic";
    if (!img || !e) { ctx.fillText(`loading ${it.id} …`, fr.x0, fr.y0 - 12); return; }
    const m = mapper(img.meta, fr);
    ctx.imageSmoothingEnabled = false;
    ctx.drawImage(img.bitmap, fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0);
    const status = e.dirty ? "unsaved changes" : e.source === "reviewed" ? "reviewed picks"
      : e.source === "original" ? "original picks" : "no picks";
    ctx.fillText(`${it.id}   ·   ${img.meta.method}   ·   ${status}`, fr.x0, fr.y0 - 12);
    limitLines(ctx, fr, m, img.meta.limits);
    if ($("showmean").checked && state.stats && state.stats.frequency.length > 1) {
      ctx.save();
      ctx.beginPath(); ctx.rect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0); ctx.clip();
      ctx.setLineDash([8, 4]); ctx.strokeStyle = "rgba(255,255,255,0.75)"; ctx.lineWidth = 1.5;
      ctx.beginPath();
      state.stats.frequency.forEach((f, k) => {
        const x = m.x(f), y = m.y(state.stats.mean[k]);
        if (k === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
      });
      ctx.stroke();
      ctx.restore();
    }
    ctx.save();
    ctx.beginPath(); ctx.rect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0); ctx.clip();
    const order = e.rows.map((r, k) => k).sort((a, b) =>
      (e.rows[a].mode === state.mode) - (e.rows[b].mode === state.mode));
    for (const k of order) {
      const r = e.rows[k];
      marker(ctx, m.x(r.frequency), m.y(r.velocity), 3.5, MODE_COLOURS[r.mode % MODES],
        r.valid === 1, r.edited === 1);
    }
    if (state.drag && state.drag.box) {
      const d = state.drag;
      ctx.setLineDash([4, 3]); ctx.strokeStyle = d.remove ? "#ff6b6b" : "#ffffff";
      ctx.strokeRect(Math.min(d.x0, d.x), Math.min(d.y0, d.y), Math.abs(d.x - d.x0),
        Math.abs(d.y - d.y0));
    }
    ctx.restore();
    axes(ctx, fr, m, "Frequency (Hz)", "Phase velocity (m/s)");
    colourbar(ctx, fr);
    document.documentElement.dataset.drawn = it.id;
    if (window.molvakFirstDraw === undefined) window.molvakFirstDraw = performance.now();
  }

  function drawStats() {
    const canvas = $("stats"), ctx = setup(canvas), s = state.stats;
    const fr = { w: canvas.clientWidth, h: canvas.clientHeight, x0: 52, x1: canvas.clientWidth - 8,
      y0: 8, y1: canvas.clientHeight - 38 };
    if (!s) return;
    const text = $("statstext");
    if (!s.frequency.length) {
      text.textContent = "No valid mode-0 picks yet.";
      return;
    }
    const lo = s.mean.map((v, k) => v - (s.std[k] || 0)), hi = s.mean.map((v, k) => v + (s.std[k] || 0));
    const fmin = s.frequency[0], fmax = s.frequency[s.frequency.length - 1];
    const vmin = Math.min(...lo), vmax = Math.max(...hi);
    const pad = 0.05 * ((vmax - vmin) || vmax || 1);
    const e = { f0: fmin, f1: fmax > fmin ? fmax : fmin + 1, v0: vmin - pad, v1: vmax + pad };
    const m = {
      x: (f) => fr.x0 + (f - e.f0) / (e.f1 - e.f0) * (fr.x1 - fr.x0),
      y: (v) => fr.y1 - (v - e.v0) / (e.v1 - e.v0) * (fr.y1 - fr.y0), e,
    };
    const trace = (values) => s.frequency.forEach((f, k) => {
      if (k === 0) ctx.moveTo(m.x(f), m.y(values[k])); else ctx.lineTo(m.x(f), m.y(values[k]));
    });
    ctx.fillStyle = "rgba(77,163,255,0.3)";
    ctx.beginPath();
    trace(hi);
    for (let k = s.frequency.length - 1; k >= 0; k--) ctx.lineTo(m.x(s.frequency[k]), m.y(lo[k]));
    ctx.closePath(); ctx.fill();
    ctx.strokeStyle = "#4da3ff"; ctx.lineWidth = 1.5; ctx.beginPath();
    trace(s.mean);
    ctx.stroke();
    const it = current(), ed = it && state.edits.get(it.id);
    if (ed) {
      ctx.save();
      ctx.beginPath(); ctx.rect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0); ctx.clip();
      for (const r of ed.rows) {
        if (r.mode === 0 && r.valid === 1) {
          marker(ctx, m.x(r.frequency), m.y(r.velocity), 2, MODE_COLOURS[0], true, false);
        }
      }
      ctx.restore();
    }
    axes(ctx, fr, m, "Frequency (Hz)", "Velocity (m/s)", 11);
    const most = Math.max(...s.count);
    text.textContent = `${s.curves} curve(s) with valid mode-0 picks; ${s.frequency.length} ` +
      `frequencies; up to ${most} pick(s) per frequency. Line: mean; band: ± one standard ` +
      `deviation; dots: this image.`;
  }

  function legend() {
    const box = $("legend");
    box.textContent = "";
    const entry = (label, fn) => {
      const row = document.createElement("div"), c = document.createElement("canvas");
      c.width = 28; c.height = 14; row.appendChild(c);
      const ctx = c.getContext("2d"); ctx.fillStyle = "#555"; ctx.fillRect(0, 0, 28, 14); fn(ctx);
      row.appendChild(document.createTextNode(label)); box.appendChild(row);
    };
    const line = (dash, colour) => (ctx) => {
      ctx.setLineDash(dash); ctx.strokeStyle = colour; ctx.lineWidth = 1.3;
      ctx.beginPath(); ctx.moveTo(0, 7); ctx.lineTo(28, 7); ctx.stroke();
    };
    for (let k = 0; k < MODES; k++) {
      entry(`mode ${k}`, (ctx) => marker(ctx, 14, 7, 4, MODE_COLOURS[k], true, false));
    }
    entry("invalid (hollow, crossed)", (ctx) => marker(ctx, 14, 7, 4, MODE_COLOURS[0], false, false));
    entry("edited by hand", (ctx) => marker(ctx, 14, 7, 4, MODE_COLOURS[0], true, true));
    entry("wavelength limits", line([6, 4], "#fff"));
    entry("near-field limit", line([2, 3], "#fff"));
    entry("mean of all images", line([8, 4], "rgba(255,255,255,0.75)"));
  }

  // ------------------------------------------------------------------ list and navigation

  function buildList() {
    const ul = $("items");
    ul.textContent = "";
    state.items.forEach((it, k) => {
      const li = document.createElement("li");
      li.textContent = it.id;
      li.title = it.id;
      li.dataset.index = String(k);
      ul.appendChild(li);
      it.li = li;
    });
    $("count").textContent = `${state.items.length} image(s)`;
  }

  function refreshList() {
    for (const it of state.items) {
      const e = state.edits.get(it.id);
      it.li.classList.toggle("reviewed", !!it.reviewed);
      it.li.classList.toggle("dirty", !!(e && e.dirty));
    }
  }

  function refresh() {
    const it = current(), e = it && state.edits.get(it.id);
    $("undo").disabled = !(e && e.undo.length);
    $("redo").disabled = !(e && e.redo.length);
    $("save").classList.toggle("dirty", !!(e && e.dirty));
    if (it) {
      it.li.classList.toggle("dirty", !!(e && e.dirty));
      it.li.classList.toggle("reviewed", !!it.reviewed);
    }
    draw();
    drawStats();
  }

  function visible(k) { return !state.items[k].li.classList.contains("hidden"); }

  function step(delta) {
    const n = state.items.length;
    for (let k = state.index + delta; k >= 0 && k < n; k += delta) {
      if (visible(k)) { select(k); return; }
    }
  }

  async function select(k) {
    if (k < 0 || k >= state.items.length) return;
    const prev = current();
    if (prev) prev.li.classList.remove("current");
    state.index = k;
    const it = current();
    it.li.classList.add("current");
    it.li.scrollIntoView({ block: "nearest" });
    history.replaceState(null, "", `?token=${encodeURIComponent(TOKEN)}#${encodeURIComponent(it.id)}`);
    refresh();
    try {
      await Promise.all([fetchImage(it.id), fetchPicks(it.id)]);
    } catch (err) {
      if (current() === it) message(`${it.id}: ${err.message}`, true);
      return;
    }
    if (current() !== it) return;
    refresh();
    for (const d of [1, -1, 2]) {            // the neighbours, while the user looks
      const nb = state.items[k + d];
      if (nb) fetchImage(nb.id).catch(() => {});
    }
  }

  function message(text, error = false) {
    const el = $("message");
    el.textContent = text;
    el.classList.toggle("error", error);
  }

  // ------------------------------------------------------------------ input

  function pointer(ev) {
    const r = $("image").getBoundingClientRect();
    return { x: ev.clientX - r.left, y: ev.clientY - r.top };
  }

  function inFrame(p) {
    const fr = frame($("image"));
    return p.x >= fr.x0 && p.x <= fr.x1 && p.y >= fr.y0 && p.y <= fr.y1;
  }

  function bind() {
    const canvas = $("image");
    canvas.addEventListener("mousedown", (ev) => {
      if (ev.button !== 0) return;
      const p = pointer(ev);
      if (!inFrame(p)) return;
      state.drag = { x0: p.x, y0: p.y, x: p.x, y: p.y, box: false, remove: ev.shiftKey };
      ev.preventDefault();
    });
    window.addEventListener("mousemove", (ev) => {
      const p = pointer(ev), it = current(), img = it && state.images.get(it.id);
      if (img && inFrame(p)) {
        const m = mapper(img.meta, frame(canvas)), f = m.f(p.x), v = m.v(p.y);
        const i = nearest(img.meta.frequency, f), j = nearest(img.meta.velocity, v);
        const pw = img.power[i * img.meta.velocity.length + j];
        $("cursor").textContent = `f ${f.toFixed(2)} Hz   c ${v.toFixed(1)} m/s   ` +
          `λ ${(v / f).toFixed(2)} m   power ${pw.toFixed(3)}`;
      }
      const d = state.drag;
      if (!d) return;
      d.x = p.x; d.y = p.y;
      if (Math.hypot(d.x - d.x0, d.y - d.y0) > 4) d.box = true;
      if (d.box) draw();
    });
    window.addEventListener("mouseup", (ev) => {
      const d = state.drag;
      state.drag = null;
      const it = current(), img = it && state.images.get(it.id);
      if (!d || !img || !state.edits.get(it.id)) return;
      const m = mapper(img.meta, frame(canvas));
      if (d.box) {
        boxAction(m.f(d.x0), m.f(d.x), m.v(d.y0), m.v(d.y), d.remove || ev.shiftKey ? "remove" : state.box);
        draw();
      } else {
        addOrMove(m.f(d.x0), m.v(d.y0));
      }
    });
    $("items").addEventListener("click", (ev) => {
      const li = ev.target.closest("li");
      if (li) select(Number(li.dataset.index));
    });
    $("filter").addEventListener("input", () => {
      const q = $("filter").value.toLowerCase();
      let n = 0;
      for (const it of state.items) {
        const hide = q !== "" && !it.id.toLowerCase().includes(q);
        it.li.classList.toggle("hidden", hide);
        if (!hide) n++;
      }
      $("count").textContent = `${n} of ${state.items.length} image(s)`;
    });
    $("prev").onclick = () => step(-1);
    $("next").onclick = () => step(1);
    $("undo").onclick = () => undo(true);
    $("redo").onclick = () => undo(false);
    $("save").onclick = () => save();
    $("showmean").onchange = () => { $("showmean").blur(); draw(); };
    const mode = $("mode");
    for (let k = 0; k < MODES; k++) {
      const o = document.createElement("option");
      o.value = String(k); o.textContent = k === 0 ? "0 (fundamental)" : String(k);
      o.style.color = MODE_COLOURS[k];
      mode.appendChild(o);
    }
    mode.onchange = () => { state.mode = Number(mode.value); mode.blur(); draw(); };
    $("boxaction").onchange = () => { state.box = $("boxaction").value; $("boxaction").blur(); };
    document.addEventListener("keydown", (ev) => {
      const tag = ev.target.tagName;
      if (tag === "INPUT" || tag === "SELECT") {
        if (ev.key === "Escape" || ev.key === "Enter") ev.target.blur();
        return;
      }
      const key = ev.key.toLowerCase(), ctrl = ev.ctrlKey || ev.metaKey;
      let done = true;
      if (ctrl && key === "z") undo(!ev.shiftKey);
      else if (ctrl && key === "y") undo(false);
      else if (ctrl && key === "s") save();
      else if (ctrl || ev.altKey) done = false;
      else if (ev.key === "ArrowRight" || ev.key === "ArrowDown" || key === "j") step(1);
      else if (ev.key === "ArrowLeft" || ev.key === "ArrowUp" || key === "k") step(-1);
      else if (ev.key === "Home") select(0);
      else if (ev.key === "End") select(state.items.length - 1);
      else if (/^[0-4]$/.test(ev.key)) { state.mode = Number(ev.key); mode.value = ev.key; draw(); }
      else if (key === "m") { state.mode = (state.mode + 1) % MODES; mode.value = String(state.mode); draw(); }
      else if (key === "b") {
        const sel = $("boxaction");
        sel.selectedIndex = (sel.selectedIndex + 1) % sel.options.length;
        state.box = sel.value;
      } else if (ev.key === "/") $("filter").focus();
      else done = false;
      if (done) ev.preventDefault();
    });
    window.addEventListener("resize", () => refresh());
    window.addEventListener("beforeunload", (ev) => {
      for (const e of state.edits.values()) if (e.dirty) { ev.preventDefault(); ev.returnValue = ""; return; }
    });
  }

  async function start() {
    bind();
    legend();
    let listing;
    try {
      listing = await (await api("/api/items")).json();
    } catch (err) {
      message(`cannot list the images: ${err.message}`, true);
      return;
    }
    $("folder").textContent = listing.folder;
    state.items = listing.items;
    buildList();
    refreshList();
    if (!state.items.length) { message("no dispersion images (.npz) in this folder", true); return; }
    const wanted = decodeURIComponent(location.hash.slice(1));
    const k = Math.max(0, state.items.findIndex((it) => it.id === wanted));
    await select(k);
    try {
      state.stats = await (await api("/api/stats")).json();
      refresh();
    } catch (err) {
      message(`statistics: ${err.message}`, true);
    }
  }

  // for scripts driving the page (the browser tests): where a point is drawn,
  // and the picks shown
  window.molvakReview = {
    toPixel(f, v) {
      const it = current(), img = it && state.images.get(it.id);
      const m = mapper(img.meta, frame($("image")));
      return [m.x(f), m.y(v)];
    },
    rows() { const it = current(); return it ? state.edits.get(it.id).rows : []; },
    current() { const it = current(); return it ? it.id : null; },
    statistics() { return state.stats; },
  };

  start();
})();
