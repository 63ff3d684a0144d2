// SPDX-License-Identifier: MIT
// The page of `kelvo serve`: one panel per device, one strip per channel,
// fed by the server's WebSocket (docs/web-protocol.md). Everything that
// arrives goes into preallocated rings; drawing happens once per animation
// frame, and only when something new came.
'use strict';

(() => {
  const PROTOCOL = 1;
  const KIND_COLUMNS = 1;
  const KIND_GAP = 2;
  const KIND_MARKER = 3;
  const KIND_COUNTERS = 4;
  const NO_DEVICE = 0xffff;
  const HEADER_BYTES = 8;
  const COLUMNS_HEADER_BYTES = 16;
  const COLUMN_HEAD_BYTES = 16;
  // A long session must not grow the page without bound.
  const MAX_MARKERS = 1000;
  const MAX_GAPS = 1000;
  const RECONNECT_FIRST_MS = 250;
  const RECONNECT_MAX_MS = 5000;
  // The server closes a socket that carries nothing for 60 s.
  const ALIVE_EVERY_MS = 10000;
  const STRIP_HEIGHT = 110;
  const FPS_HISTORY = 512;
  const TWO_POW_32 = 4294967296;

  // Colours in one place: the browser tests look for them in screenshots.
  const COLOUR = {
    trace: '#1f5fbf',
    gap: 'rgba(230, 120, 0, 0.25)',
    gone: 'rgba(230, 120, 0, 0.12)',
    marker: '#8a3ffc',
    axis: '#555',
    grid: '#e4e4e4',
  };

  const decoder = new TextDecoder();

  // Column indices and counters are 64-bit; as doubles they stay exact far
  // beyond any session, and reading them so makes no BigInt per column.
  function readI64(view, offset) {
    return view.getUint32(offset, true) + view.getInt32(offset + 4, true) * TWO_POW_32;
  }

  function readU64(view, offset) {
    return view.getUint32(offset, true) + view.getUint32(offset + 4, true) * TWO_POW_32;
  }

  function readText(view, offset, length) {
    return decoder.decode(new Uint8Array(view.buffer, view.byteOffset + offset, length));
  }

  function modulo(value, divisor) {
    const rest = value % divisor;
    return rest < 0 ? rest + divisor : rest;
  }

  function element(tag, className, text) {
    const made = document.createElement(tag);
    if (className) made.className = className;
    if (text !== undefined) made.textContent = text;
    return made;
  }

  // ---------------------------------------------------------------- columns

  // The newest `capacity` columns of one device, addressed by column index
  // modulo the capacity, so a column sent again lands on the one it
  // replaces. A slot remembers which column it holds: slots left behind by
  // a jump (a device that was gone) read as missing.
  class ColumnRing {
    constructor(channels, capacity, columnSeconds) {
      this.channels = channels;
      this.capacity = capacity;
      this.columnSeconds = columnSeconds;
      this.held = new Float64Array(capacity).fill(NaN);
      this.mins = new Float32Array(channels * capacity);
      this.maxs = new Float32Array(channels * capacity);
      this.newest = -Infinity;
      // What the strips draw: the window ending at a given column, oldest
      // first, NaN where a column is missing. uPlot reads these in place.
      this.times = new Float64Array(capacity);
      this.present = new Uint8Array(capacity);
      this.lineMins = [];
      this.lineMaxs = [];
      const lineMin = new Float32Array(channels * capacity);
      const lineMax = new Float32Array(channels * capacity);
      for (let c = 0; c < channels; c++) {
        this.lineMins.push(lineMin.subarray(c * capacity, (c + 1) * capacity));
        this.lineMaxs.push(lineMax.subarray(c * capacity, (c + 1) * capacity));
      }
      // uPlot wants a span of time from the start, even before any column.
      this.linearize(capacity - 1);
    }

    // Stores the column at `offset` of a columns frame; false if it is older
    // than anything the ring keeps.
    put(index, view, offset) {
      if (index <= this.newest - this.capacity) return false;
      const slot = modulo(index, this.capacity);
      this.held[slot] = index;
      const cap = this.capacity;
      for (let c = 0, at = offset; c < this.channels; c++, at += 8) {
        this.mins[c * cap + slot] = view.getFloat32(at, true);
        this.maxs[c * cap + slot] = view.getFloat32(at + 4, true);
      }
      if (index > this.newest) this.newest = index;
      return true;
    }

    holds(slot) {
      const index = this.held[slot];
      return index > this.newest - this.capacity && index <= this.newest;
    }

    count() {
      let held = 0;
      for (let slot = 0; slot < this.capacity; slot++) if (this.holds(slot)) held++;
      return held;
    }

    extent(channel) {
      let min = Infinity;
      let max = -Infinity;
      let columns = 0;
      const base = channel * this.capacity;
      for (let slot = 0; slot < this.capacity; slot++) {
        if (!this.holds(slot)) continue;
        columns++;
        if (this.mins[base + slot] < min) min = this.mins[base + slot];
        if (this.maxs[base + slot] > max) max = this.maxs[base + slot];
      }
      return columns ? { columns, min, max } : { columns, min: NaN, max: NaN };
    }

    // Lays the window ending at column `last` out in time order.
    linearize(last) {
      const cap = this.capacity;
      const first = last - cap + 1;
      let slot = modulo(first, cap);
      for (let k = 0; k < cap; k++) {
        this.times[k] = (first + k) * this.columnSeconds;
        this.present[k] = this.held[slot] === first + k ? 1 : 0;
        if (++slot === cap) slot = 0;
      }
      for (let c = 0; c < this.channels; c++) {
        const lineMin = this.lineMins[c];
        const lineMax = this.lineMaxs[c];
        const base = c * cap;
        slot = modulo(first, cap);
        for (let k = 0; k < cap; k++) {
          if (this.present[k]) {
            lineMin[k] = this.mins[base + slot];
            lineMax[k] = this.maxs[base + slot];
          } else {
            lineMin[k] = NaN;
            lineMax[k] = NaN;
          }
          if (++slot === cap) slot = 0;
        }
      }
    }
  }

  // ----------------------------------------------------------------- strips

  function formatSeconds(u, splits) {
    return splits.map((s) => `${+s.toFixed(3)} s`);
  }

  // One channel's uPlot. uPlot gives the axes, the scales and drag-to-zoom;
  // the columns, gaps and markers are drawn by hooks straight from the
  // device's arrays, one vertical stroke per column from its min to its max.
  class Strip {
    constructor(device, channel, parent, width) {
      this.device = device;
      this.channel = channel;
      this.visible = true;
      this.geometry = { left: 0, top: 0, width: 0, height: 0, xMin: 0, xScale: 1, yMax: 1, yScale: 1 };
      this.span = { min: 0, max: 1 };
      this.applySpan = () => {
        this.plot.setData(this.data, false);
        this.plot.setScale('x', this.span);
      };
      const ring = device.ring;
      const range = device.desc.full_scale * 1.05;
      this.data = [ring.times, ring.lineMins[channel], ring.lineMaxs[channel]];
      const none = () => null;
      const opts = {
        width,
        height: STRIP_HEIGHT,
        legend: { show: false },
        cursor: {
          points: { show: false },
          drag: { x: true, y: false, setScale: false },
          bind: { dblclick: () => () => view.resetZoom() },
        },
        scales: {
          x: { time: false, auto: false, range: (u, min, max) => [min, max] },
          y: { auto: false, range: () => [-range, range] },
        },
        axes: [
          { stroke: COLOUR.axis, grid: { stroke: COLOUR.grid, width: 1 }, ticks: { show: false }, size: 26,
            values: formatSeconds, space: 80 },
          { stroke: COLOUR.axis, grid: { stroke: COLOUR.grid, width: 1 }, ticks: { show: false }, size: 46, space: 25 },
        ],
        series: [
          {},
          { label: 'min', auto: false, paths: none, points: { show: false } },
          { label: 'max', auto: false, paths: none, points: { show: false } },
        ],
        hooks: {
          drawClear: [(u) => this.drawGaps(u)],
          draw: [(u) => { this.drawColumns(u); this.drawMarkers(u); }],
          setSelect: [(u) => this.zoomToSelection(u)],
        },
      };
      this.plot = new uPlot(opts, this.data, parent);
    }

    // Moves the view to [min, max] and draws now (not in a microtask), so
    // the page can tell the server what it has drawn.
    show(min, max) {
      this.span.min = min;
      this.span.max = max;
      this.plot.batch(this.applySpan);
    }

    redraw() {
      this.plot.batch(() => this.plot.redraw(false));
    }

    // Maps the x scale and the plotting area (canvas pixels) for the hooks,
    // in one object kept for the strip's life: no garbage per frame.
    frame(u) {
      const x = u.scales.x;
      const y = u.scales.y;
      const box = u.bbox;
      const f = this.geometry;
      f.left = box.left;
      f.top = box.top;
      f.width = box.width;
      f.height = box.height;
      f.xMin = x.min;
      f.xScale = box.width / (x.max - x.min);
      f.yMax = y.max;
      f.yScale = box.height / (y.max - y.min);
      return f;
    }

    drawColumns(u) {
      const ring = this.device.ring;
      const mins = ring.lineMins[this.channel];
      const maxs = ring.lineMaxs[this.channel];
      const times = ring.times;
      const f = this.frame(u);
      const columnPixels = ring.columnSeconds * f.xScale;
      const right = f.left + f.width;
      const ctx = u.ctx;
      ctx.save();
      ctx.beginPath();
      ctx.rect(f.left, f.top, f.width, f.height);
      ctx.clip();
      ctx.beginPath();
      for (let k = 0; k < times.length; k++) {
        const low = mins[k];
        if (low !== low) continue;
        const x = f.left + (times[k] - f.xMin) * f.xScale;
        if (x < f.left - columnPixels || x > right) continue;
        const px = Math.round(x + columnPixels / 2) + 0.5;
        const top = f.top + (f.yMax - maxs[k]) * f.yScale;
        let bottom = f.top + (f.yMax - low) * f.yScale;
        if (bottom - top < 1) bottom = top + 1;
        ctx.moveTo(px, top);
        ctx.lineTo(px, bottom);
      }
      ctx.lineWidth = Math.max(1, Math.floor(columnPixels));
      ctx.strokeStyle = COLOUR.trace;
      ctx.stroke();
      ctx.restore();
    }

    shade(u, f, start, end, colour) {
      const from = Math.max(f.left, f.left + (start - f.xMin) * f.xScale);
      const to = Math.min(f.left + f.width, f.left + (end - f.xMin) * f.xScale);
      if (to <= from) return;
      u.ctx.fillStyle = colour;
      u.ctx.fillRect(from, f.top, Math.max(1, to - from), f.height);
    }

    drawGaps(u) {
      const f = this.frame(u);
      const gaps = this.device.gaps;
      for (let i = 0; i < gaps.length; i++) this.shade(u, f, gaps[i].start, gaps[i].end, COLOUR.gap);
      // A device gone right now has no gap yet (it closes when it is back):
      // its strips show the time since its last column as one.
      const counters = this.device.counters;
      if (counters && counters.state === 1 && Number.isFinite(this.device.ring.newest)) {
        const lastTime = (this.device.ring.newest + 1) * this.device.ring.columnSeconds;
        this.shade(u, f, lastTime, u.scales.x.max, COLOUR.gone);
      }
    }

    drawMarkers(u) {
      const markers = view.markers;
      if (markers.length === 0) return;
      const f = this.frame(u);
      const ctx = u.ctx;
      const ratio = window.devicePixelRatio || 1;
      ctx.save();
      ctx.strokeStyle = COLOUR.marker;
      ctx.fillStyle = COLOUR.marker;
      ctx.lineWidth = Math.max(1, Math.round(ratio));
      ctx.font = `${Math.round(11 * ratio)}px sans-serif`;
      ctx.textBaseline = 'top';
      for (let i = 0; i < markers.length; i++) {
        const x = f.left + (markers[i].time - f.xMin) * f.xScale;
        if (x < f.left || x > f.left + f.width) continue;
        const px = Math.round(x) + 0.5;
        ctx.beginPath();
        ctx.moveTo(px, f.top);
        ctx.lineTo(px, f.top + f.height);
        ctx.stroke();
        // Near the right edge the label goes left of its line.
        const label = markers[i].text;
        const leftOfLine = px + ctx.measureText(label).width + 6 * ratio > f.left + f.width;
        ctx.textAlign = leftOfLine ? 'right' : 'left';
        ctx.fillText(label, leftOfLine ? px - 3 * ratio : px + 3 * ratio, f.top + 2 * ratio);
      }
      ctx.restore();
    }

    zoomToSelection(u) {
      const selected = u.select;
      if (selected.width < 3) return;
      const min = u.posToVal(selected.left, 'x');
      const max = u.posToVal(selected.left + selected.width, 'x');
      u.setSelect({ left: 0, top: 0, width: 0, height: 0 }, false);
      view.zoomTo(min, max);
    }

    resize(width) {
      this.plot.setSize({ width, height: STRIP_HEIGHT });
    }

    setVisible(visible, box) {
      this.visible = visible;
      box.hidden = !visible;
    }

    destroy() {
      this.plot.destroy();
    }
  }

  // ---------------------------------------------------------------- devices

  function countersText(c) {
    const state = c.state === 0 ? 'streaming' : 'gone';
    return `${state} · ${Math.round(c.rate)} S/s · received ${c.received} · lost ${c.lost} samples · ` +
      `${c.gaps} gaps · ${c.notSent} frames not sent here`;
  }

  // One device's panel: its title, its loss counters, a checkbox and a strip
  // per channel, and the columns, gaps and counters the strips draw.
  class DevicePanel {
    constructor(desc, ring, gaps, parent) {
      this.desc = desc;
      this.ring = ring;
      this.gaps = gaps;
      this.counters = null;
      this.strips = [];
      this.boxes = [];
      this.root = element('section', 'device');
      const title = desc.serial && desc.serial !== desc.name ? `${desc.name} (${desc.serial})` : desc.name;
      const head = element('header', 'device-head');
      this.rateLabels = [element('span', 'device-rate', this.rateText(null))];
      head.append(element('h2', '', title), this.rateLabels[0]);
      this.countersLine = element('div', 'counters', 'no counters yet');
      this.picker = element('div', 'channel-picker');
      this.root.append(head, this.countersLine, this.picker);
      parent.append(this.root);
      this.exposed = this.makeExposed();
    }

    // Strips are made once the panel is in the page, to know its width.
    addStrips() {
      const width = this.stripWidth();
      this.desc.channels.forEach((name, c) => {
        const box = element('div', 'strip');
        const label = element('div', 'strip-label');
        label.append(element('span', 'channel-name', name),
          element('span', 'channel-scale', `±${this.desc.full_scale} ${this.desc.unit || 'full scale'}`),
          element('span', 'channel-rate', this.rateText(null)));
        this.rateLabels.push(label.lastChild);
        box.append(label);
        this.root.append(box);
        this.boxes.push(box);
        this.strips.push(new Strip(this, c, box, width));
        this.addPickerEntry(name, c);
      });
    }

    addPickerEntry(name, c) {
      const entry = element('label', 'pick');
      const check = element('input');
      check.type = 'checkbox';
      check.checked = true;
      check.dataset.channel = String(c);
      check.addEventListener('change', () => {
        this.strips[c].setVisible(check.checked, this.boxes[c]);
        view.stripShown();
      });
      entry.append(check, document.createTextNode(name));
      this.picker.append(entry);
    }

    // The nominal rate when the server knows it, else the one measured.
    rateText(counters) {
      if (this.desc.rate_hz > 0) return `${this.desc.rate_hz} Hz`;
      return counters ? `${Math.round(counters.rate)} Hz measured` : 'rate not known yet';
    }

    stripWidth() {
      return Math.max(200, this.root.clientWidth - 16);
    }

    resize() {
      const width = this.stripWidth();
      for (const strip of this.strips) strip.resize(width);
    }

    setCounters(counters) {
      this.counters = counters;
      this.countersLine.textContent = countersText(counters);
      if (!(this.desc.rate_hz > 0)) for (const label of this.rateLabels) label.textContent = this.rateText(counters);
      this.root.classList.toggle('gone', counters.state !== 0);
    }

    addGap(gap) {
      if (this.gaps.length >= MAX_GAPS) this.gaps.shift();
      this.gaps.push(gap);
    }

    // What kelvoView shows of this device: plain fields where they are kept
    // anyway, getters for what needs a scan of the ring.
    makeExposed() {
      const panel = this;
      const ring = this.ring;
      return {
        name: this.desc.name,
        serial: this.desc.serial,
        id: this.desc.id,
        get columns() { return ring.count(); },
        get lastColumnIndex() { return Number.isFinite(ring.newest) ? ring.newest : null; },
        channels: this.desc.channels.map((name, c) => ({
          name,
          get min() { return ring.extent(c).min; },
          get max() { return ring.extent(c).max; },
        })),
        gaps: this.gaps,
        get counters() { return panel.counters; },
      };
    }

    destroy() {
      for (const strip of this.strips) strip.destroy();
      this.root.remove();
    }
  }

  // ------------------------------------------------------------------- view

  const ui = {
    title: document.getElementById('title'),
    connection: document.getElementById('connection'),
    pause: document.getElementById('pause'),
    resetZoom: document.getElementById('reset-zoom'),
    markForm: document.getElementById('mark-form'),
    markText: document.getElementById('mark-text'),
    mark: document.getElementById('mark'),
    devices: document.getElementById('devices'),
  };

  const view = {
    socket: null,
    description: null,
    panels: [],
    byId: [],
    markers: [],
    connected: false,
    paused: false,
    zoom: null,
    // What the live view showed last; where a pause leaves it.
    span: { min: 0, max: 0 },
    framesReceived: 0,
    framesDrawn: 0,
    lastSequence: null,
    lastDrawnSequence: null,
    // Something arrived that the strips do not show yet.
    fresh: false,
    // Only what is drawn over the columns changed (marker, gap, shown strip).
    overlays: false,
    frameRequested: false,
    drawTimes: new Float64Array(FPS_HISTORY),
    drawCount: 0,
    reconnectMs: RECONNECT_FIRST_MS,
    // Whether this socket has sent its description yet.
    described: false,
    ignored: 0,

    // The newest column of any device: the right edge of the live window,
    // common to all so a device that is gone scrolls with the others.
    newestColumn() {
      let newest = -Infinity;
      for (const panel of this.panels) if (panel.ring.newest > newest) newest = panel.ring.newest;
      return newest;
    },

    live() {
      return !this.paused && this.zoom === null;
    },

    // ------------------------------------------------------------ drawing

    request(overlayOnly) {
      if (overlayOnly) this.overlays = true;
      else this.fresh = true;
      if (!this.frameRequested) {
        this.frameRequested = true;
        requestAnimationFrame(() => this.drawFrame());
      }
    },

    drawFrame() {
      this.frameRequested = false;
      let drew = false;
      if (this.live() && this.fresh) drew = this.drawLive();
      else if (this.overlays) drew = this.redrawStill();
      this.fresh = false;
      this.overlays = false;
      if (!drew) return;
      this.framesDrawn++;
      this.drawTimes[this.drawCount++ % FPS_HISTORY] = performance.now();
      this.tellDrawn();
    },

    drawLive() {
      const newest = this.newestColumn();
      if (!Number.isFinite(newest)) return this.redrawStill();
      const d = this.description;
      const max = (newest + 1) * d.column_seconds;
      const min = max - d.window_seconds;
      this.span.min = min;
      this.span.max = max;
      for (const panel of this.panels) {
        panel.ring.linearize(newest);
        for (const strip of panel.strips) if (strip.visible) strip.show(min, max);
      }
      return true;
    },

    // Paused or zoomed: the strips keep what they show; what is drawn over
    // it (a marker, a gap) may still change.
    redrawStill() {
      if (!this.overlays) return false;
      for (const panel of this.panels) for (const strip of panel.strips) if (strip.visible) strip.redraw();
      return true;
    },

    tellDrawn() {
      if (this.lastSequence === null || this.lastSequence === this.lastDrawnSequence) return;
      if (!this.socket || this.socket.readyState !== WebSocket.OPEN) return;
      this.lastDrawnSequence = this.lastSequence;
      this.socket.send(`{"type":"drawn","sequence":${this.lastSequence}}`);
    },

    fps() {
      const since = performance.now() - 1000;
      const known = Math.min(this.drawCount, FPS_HISTORY);
      let count = 0;
      for (let i = 0; i < known; i++) if (this.drawTimes[i] >= since) count++;
      return count;
    },

    // ---------------------------------------------------------- controls

    setPaused(paused) {
      this.paused = paused;
      ui.pause.textContent = paused ? 'Resume' : 'Pause';
      document.body.classList.toggle('paused', paused);
      this.request(false);
    },

    zoomTo(min, max) {
      this.zoom = { min, max };
      ui.resetZoom.disabled = false;
      this.showStill(this.zoom);
    },

    resetZoom() {
      if (this.zoom === null) return;
      this.zoom = null;
      ui.resetZoom.disabled = true;
      if (this.paused) this.showStill(this.span);
      else this.request(false);
    },

    showStill(span) {
      for (const panel of this.panels) for (const strip of panel.strips) if (strip.visible) strip.show(span.min, span.max);
    },

    // A strip shown again draws what it missed while hidden: at once when
    // the view stands still, with the others on the next frame when live.
    stripShown() {
      if (this.live()) this.request(false);
      else this.showStill(this.zoom || this.span);
    },

    sendMark() {
      const text = ui.markText.value.trim();
      if (!text || !this.canMark()) return;
      this.socket.send(JSON.stringify({ type: 'mark', text }));
      ui.markText.value = '';
    },

    canMark() {
      return this.connected && this.description !== null && this.description.can_mark === true;
    },

    updateMarkControls() {
      const can = this.canMark();
      ui.markText.disabled = !can;
      ui.mark.disabled = !can;
      ui.markText.title = this.description && !this.description.can_mark ? 'this server takes no markers' : '';
    },

    resize() {
      for (const panel of this.panels) panel.resize();
      this.request(true);
    },

    // ----------------------------------------------------------- protocol

    // A description (again) rebuilds the panels. A device that keeps its
    // shape keeps its columns and gaps: a late device or a reconnect must
    // not blank the others.
    describe(d, firstOnSocket) {
      if (d.protocol !== PROTOCOL) {
        this.setConnection(`the server speaks protocol ${d.protocol}, this page ${PROTOCOL}`, false);
        return;
      }
      const capacity = Math.max(2, Math.ceil(d.window_seconds / d.column_seconds));
      const old = new Map(this.panels.map((p) => [p.desc.id, p]));
      const sameAxis = this.description && this.description.origin_unix_ns === d.origin_unix_ns &&
        this.description.column_seconds === d.column_seconds;
      // A new socket sends the markers and gaps it keeps again.
      if (!sameAxis || firstOnSocket) this.markers.length = 0;
      for (const panel of this.panels) panel.destroy();
      this.panels = [];
      this.byId = [];
      this.description = d;
      ui.title.textContent = d.title || 'kelvo';
      document.title = d.title || 'kelvo';
      for (const desc of d.devices) {
        const before = old.get(desc.id);
        const keep = sameAxis && before && before.ring.channels === desc.channels.length &&
          before.ring.capacity === capacity;
        const ring = keep ? before.ring : new ColumnRing(desc.channels.length, capacity, d.column_seconds);
        const gaps = keep && !firstOnSocket ? before.gaps : [];
        const panel = new DevicePanel(desc, ring, gaps, ui.devices);
        this.panels.push(panel);
        this.byId[desc.id] = panel;
      }
      for (const panel of this.panels) panel.addStrips();
      exposed.devices = this.panels.map((p) => p.exposed);
      this.updateMarkControls();
      // New strips know no span yet: they start on the newest window, even
      // paused, and a zoom does not outlive them.
      this.zoom = null;
      ui.resetZoom.disabled = true;
      this.drawLive();
    },

    receive(data) {
      this.framesReceived++;
      if (typeof data === 'string') {
        let message;
        try {
          message = JSON.parse(data);
        } catch (e) {
          this.ignored++;
          return;
        }
        if (message.type === 'description') {
          this.describe(message, !this.described);
          this.described = true;
        }
        else this.ignored++;
        return;
      }
      const frame = new DataView(data);
      if (frame.byteLength < HEADER_BYTES || frame.getUint8(1) !== PROTOCOL) {
        this.ignored++;
        return;
      }
      this.lastSequence = frame.getUint32(4, true);
      const kind = frame.getUint8(0);
      const id = frame.getUint16(2, true);
      const panel = id === NO_DEVICE ? null : this.byId[id];
      if (kind === KIND_MARKER) this.takeMarker(frame);
      else if (!panel) this.ignored++;
      else if (kind === KIND_COLUMNS) this.takeColumns(panel, frame);
      else if (kind === KIND_GAP) this.takeGap(panel, frame);
      else if (kind === KIND_COUNTERS) this.takeCounters(panel, frame);
      else this.ignored++;
    },

    takeColumns(panel, frame) {
      const channels = frame.getUint16(8, true);
      const count = frame.getUint16(10, true);
      const columnBytes = COLUMN_HEAD_BYTES + 8 * channels;
      if (channels !== panel.ring.channels || frame.byteLength < COLUMNS_HEADER_BYTES + count * columnBytes) {
        this.ignored++;
        return;
      }
      for (let i = 0, at = COLUMNS_HEADER_BYTES; i < count; i++, at += columnBytes) {
        panel.ring.put(readI64(frame, at), frame, at + COLUMN_HEAD_BYTES);
      }
      this.request(false);
    },

    takeGap(panel, frame) {
      const length = frame.getUint16(32, true);
      panel.addGap({
        start: frame.getFloat64(8, true),
        end: frame.getFloat64(16, true),
        samples: readI64(frame, 24),
        cause: readText(frame, 34, length),
      });
      this.request(true);
    },

    takeMarker(frame) {
      const textLength = frame.getUint16(16, true);
      const sourceLength = frame.getUint16(18, true);
      if (this.markers.length >= MAX_MARKERS) this.markers.shift();
      this.markers.push({
        time: frame.getFloat64(8, true),
        text: readText(frame, 20, textLength),
        source: readText(frame, 20 + textLength, sourceLength),
      });
      this.request(true);
    },

    takeCounters(panel, frame) {
      const wasGone = panel.counters && panel.counters.state !== 0;
      panel.setCounters({
        state: frame.getUint8(8),
        received: readU64(frame, 16),
        lost: readU64(frame, 24),
        gaps: readU64(frame, 32),
        notSent: readU64(frame, 40),
        rate: frame.getFloat64(48, true),
      });
      // Only a change of state changes what the strips show.
      if (wasGone !== (panel.counters.state !== 0)) this.request(true);
    },

    // --------------------------------------------------------- connection

    socketUrl() {
      const token = new URLSearchParams(location.search).get('token');
      const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
      return `${scheme}//${location.host}/ws${token ? `?token=${encodeURIComponent(token)}` : ''}`;
    },

    connect() {
      this.setConnection(this.description ? 'disconnected; connecting again…' : 'connecting…', false);
      const socket = new WebSocket(this.socketUrl());
      socket.binaryType = 'arraybuffer';
      socket.onopen = () => {
        this.reconnectMs = RECONNECT_FIRST_MS;
        // Sequences start again on every socket.
        this.lastSequence = null;
        this.lastDrawnSequence = null;
        this.described = false;
        this.setConnection('connected', true);
      };
      socket.onmessage = (event) => this.receive(event.data);
      socket.onclose = () => this.reconnect();
      this.socket = socket;
    },

    reconnect() {
      this.socket = null;
      const wait = this.reconnectMs;
      this.reconnectMs = Math.min(RECONNECT_MAX_MS, this.reconnectMs * 2);
      this.setConnection(`disconnected; trying again in ${(wait / 1000).toFixed(1)} s`, false);
      setTimeout(() => this.connect(), wait);
    },

    sayAlive() {
      if (this.socket && this.socket.readyState === WebSocket.OPEN) this.socket.send('{"type":"alive"}');
    },

    setConnection(text, connected) {
      this.connected = connected;
      ui.connection.textContent = text;
      document.body.classList.toggle('disconnected', !connected);
      this.updateMarkControls();
    },
  };

  // ------------------------------------------------- for tests and benches

  const exposed = {
    get connected() { return view.connected; },
    get description() { return view.description; },
    get framesReceived() { return view.framesReceived; },
    get framesDrawn() { return view.framesDrawn; },
    get fps() { return view.fps(); },
    get lastSequence() { return view.lastSequence; },
    get paused() { return view.paused; },
    get zoomed() { return view.zoom !== null; },
    get ignored() { return view.ignored; },
    devices: [],
    markers: view.markers,
    channelExtent(device, channel) {
      const panel = view.panels[device];
      return panel ? panel.ring.extent(channel) : null;
    },
    // Where each visible strip's plotting area is on the page (CSS pixels)
    // and which span of time it shows, for tests reading screenshots.
    stripAreas() {
      const areas = [];
      const ratio = window.devicePixelRatio || 1;
      view.panels.forEach((panel, device) => panel.strips.forEach((strip, channel) => {
        if (!strip.visible) return;
        const u = strip.plot;
        const canvas = u.ctx.canvas.getBoundingClientRect();
        areas.push({
          device, channel,
          left: canvas.left + u.bbox.left / ratio, top: canvas.top + u.bbox.top / ratio,
          width: u.bbox.width / ratio, height: u.bbox.height / ratio,
          xMin: u.scales.x.min, xMax: u.scales.x.max,
        });
      }));
      return areas;
    },
  };
  window.kelvoView = exposed;

  // ---------------------------------------------------------------- wiring

  ui.pause.addEventListener('click', () => view.setPaused(!view.paused));
  ui.resetZoom.addEventListener('click', () => view.resetZoom());
  ui.markForm.addEventListener('submit', (event) => {
    event.preventDefault();
    view.sendMark();
  });
  let resizeRequested = false;
  window.addEventListener('resize', () => {
    if (resizeRequested) return;
    resizeRequested = true;
    requestAnimationFrame(() => {
      resizeRequested = false;
      view.resize();
    });
  });
  setInterval(() => view.sayAlive(), ALIVE_EVERY_MS);
  view.connect();
})();
