// The viewer of tallow_forceatlas2.draw.to_html: a laid-out graph in one page.
//
// The page holds one JSON block (#tallow-meta: title, labels, hover
// attributes, colour schemes, the view to start from) and base64 blobs
// (#tallow-blob-NAME): node positions as float32 (2 or 3 per node), node
// radii as float32, edges as per-node counts and target indices (uint32,
// sorted by source), one uint8 colour code per node for each colour scheme.
// Nodes and edges are drawn with WebGL, or with a 2-D canvas where WebGL is
// missing (or the address ends in #canvas). Nothing is fetched.
//
// Nodes and edges are stored interleaved (every 64th first, then the ones
// after them, ...) so that any prefix of the index buffers is an even sample
// of the whole graph. Each animation frame draws at most `budget` nodes and
// edges, a budget that follows the frame times: while the view moves a frame
// shows an even sample when the whole graph would be too slow, and once the
// view rests the following frames add the rest of the edges, then all nodes
// on top, a slice a frame, so that the page answers the mouse throughout.
(function () {
  "use strict";

  var INTERLEAVE = 64;
  var REST_MS = 180; // after the last move, draw the full graph
  var FRAME_MS = 30; // the frame time the budget aims at
  var FIRST_BUDGET = 1000000; // nodes and edges in the first frame
  var MIN_BUDGET = 5000;
  var MIN_NODE_PX = 2; // nodes never shrink below this diameter
  var PICK_PX = 8; // hover reaches nodes this close to the cursor
  var LABELS_UP_TO = 100; // small graphs get every label drawn

  // ---- data --------------------------------------------------------------

  function blob(name, Type) {
    var element = document.getElementById("tallow-blob-" + name);
    if (!element) return null;
    var text = element.textContent.trim();
    var bytes;
    if (typeof Uint8Array.fromBase64 === "function") {
      bytes = Uint8Array.fromBase64(text);
    } else {
      var binary = atob(text);
      bytes = new Uint8Array(binary.length);
      for (var i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    }
    return Type === Uint8Array ? bytes : new Type(bytes.buffer, 0, bytes.length / Type.BYTES_PER_ELEMENT);
  }

  // Indices 0..count-1 in the interleaved order described above.
  function interleavedNodes(count) {
    var order = new Uint32Array(count);
    var k = 0;
    for (var r = 0; r < INTERLEAVE; r++) {
      for (var i = r; i < count; i += INTERLEAVE) order[k++] = i;
    }
    return order;
  }

  // Edge end pairs from per-node counts and targets, interleaved likewise.
  function interleavedEdges(counts, targets) {
    var m = targets.length;
    var sources = new Uint32Array(m);
    var e = 0;
    for (var v = 0; v < counts.length; v++) {
      for (var c = counts[v]; c > 0; c--) sources[e++] = v;
    }
    var pairs = new Uint32Array(2 * m);
    var k = 0;
    for (var r = 0; r < INTERLEAVE; r++) {
      for (var i = r; i < m; i += INTERLEAVE) {
        pairs[k++] = sources[i];
        pairs[k++] = targets[i];
      }
    }
    return pairs;
  }

  // Node radii from degrees, where the page has no sizes: hubs larger.
  function degreeRadii(degree, unit) {
    var radii = new Float32Array(degree.length);
    for (var i = 0; i < degree.length; i++) radii[i] = unit * Math.sqrt(1 + Math.log1p(degree[i]));
    return radii;
  }

  function hexColour(hex) {
    var value = parseInt(hex.slice(1), 16);
    return [(value >> 16) & 255, (value >> 8) & 255, value & 255, 255];
  }

  // RGBA bytes per node from a scheme's codes and palette.
  function schemeColours(scheme, codes) {
    var palette = scheme.palette.map(hexColour);
    var out = new Uint8Array(4 * codes.length);
    for (var i = 0; i < codes.length; i++) {
      var colour = palette[codes[i]];
      out[4 * i] = colour[0];
      out[4 * i + 1] = colour[1];
      out[4 * i + 2] = colour[2];
      out[4 * i + 3] = 255;
    }
    return out;
  }

  // ---- camera ------------------------------------------------------------

  // The view: a centre in layout units, pixels per layout unit, and for
  // 3-D layouts a rotation (yaw about y, then pitch about x) and a
  // perspective with the eye at `distance` from the centre.
  function Camera(meta) {
    this.dim = meta.dim;
    this.home = meta.view;
    this.distance = meta.dim === 3 ? 3 * meta.view.radius : 0;
    this.reset(1, 1);
  }

  Camera.prototype.reset = function (width, height) {
    this.center = this.home.center.slice();
    while (this.center.length < 3) this.center.push(0);
    this.zoom = (0.45 * Math.min(width, height)) / this.home.radius;
    this.yaw = this.dim === 3 ? 0.5 : 0;
    this.pitch = this.dim === 3 ? 0.35 : 0;
  };

  // Row-major 3x3 rotation: screen axes from layout axes.
  Camera.prototype.rotation = function () {
    var cy = Math.cos(this.yaw), sy = Math.sin(this.yaw);
    var cp = Math.cos(this.pitch), sp = Math.sin(this.pitch);
    return [cy, 0, sy, sp * sy, cp, -sp * cy, -cp * sy, sp, cp * cy];
  };

  // Moves the centre by a screen offset in pixels (x right, y down).
  Camera.prototype.shift = function (dx, dy) {
    var r = this.rotation();
    var u = dx / this.zoom, v = -dy / this.zoom;
    for (var a = 0; a < 3; a++) this.center[a] += r[a] * u + r[3 + a] * v;
  };

  // Zooms by `factor` keeping the point at screen offset (ox, oy) from the
  // middle of the canvas in place.
  Camera.prototype.zoomAbout = function (factor, ox, oy) {
    var before = this.zoom;
    this.zoom = Math.min(Math.max(before * factor, 1e-12), 1e15);
    var keep = 1 / before - 1 / this.zoom;
    this.shift(ox * this.zoom * keep, oy * this.zoom * keep);
  };

  // Screen position (CSS pixels) and perspective divisor of a layout point.
  Camera.prototype.project = function (x, y, z, width, height, r) {
    x -= this.center[0];
    y -= this.center[1];
    z -= this.center[2];
    var qx = r[0] * x + r[1] * y + r[2] * z;
    var qy = r[3] * x + r[4] * y + r[5] * z;
    var qz = r[6] * x + r[7] * y + r[8] * z;
    var w = this.distance ? 1 - qz / this.distance : 1;
    return [width / 2 + (qx * this.zoom) / w, height / 2 - (qy * this.zoom) / w, w];
  };

  // ---- WebGL renderer ----------------------------------------------------

  var VERTEX_SHADER = [
    "attribute vec3 a_position;",
    "attribute vec4 a_colour;",
    "attribute float a_radius;",
    "uniform vec3 u_center;",
    "uniform mat3 u_rotation;",
    "uniform vec2 u_scale;",
    "uniform float u_inverse_distance;",
    "uniform float u_pixels;",
    "uniform float u_min_pixels;",
    "uniform float u_alpha;",
    "varying vec4 v_colour;",
    "varying float v_pixels;",
    "void main() {",
    "  vec3 q = u_rotation * (a_position - u_center);",
    "  float w = 1.0 - q.z * u_inverse_distance;",
    "  gl_Position = vec4(q.xy * u_scale, 0.0, w);",
    "  gl_PointSize = max(u_min_pixels, 2.0 * a_radius * u_pixels / max(w, 1e-6));",
    "  v_pixels = gl_PointSize;",
    "  v_colour = vec4(a_colour.rgb, a_colour.a * u_alpha);",
    "}",
  ].join("\n");

  var EDGE_FRAGMENT = [
    "precision mediump float;",
    "varying vec4 v_colour;",
    "void main() { gl_FragColor = v_colour; }",
  ].join("\n");

  // Round nodes with a darker rim of about a pixel, so that touching nodes
  // stay apart; nodes of a few pixels are plain dots.
  var NODE_FRAGMENT = [
    "precision mediump float;",
    "varying vec4 v_colour;",
    "varying float v_pixels;",
    "void main() {",
    "  float d = length(gl_PointCoord - vec2(0.5)) * v_pixels;",
    "  if (d > 0.5 * v_pixels) discard;",
    "  bool rim = v_pixels > 6.0 && d > 0.5 * v_pixels - 1.2;",
    "  float edge = clamp(0.5 * v_pixels - d + 0.5, 0.0, 1.0);", // smooth without multisampling
    "  gl_FragColor = vec4(v_colour.rgb * (rim ? 0.7 : 1.0), v_colour.a * edge);",
    "}",
  ].join("\n");

  function compile(gl, fragment) {
    var program = gl.createProgram();
    [[gl.VERTEX_SHADER, VERTEX_SHADER], [gl.FRAGMENT_SHADER, fragment]].forEach(function (pair) {
      var shader = gl.createShader(pair[0]);
      gl.shaderSource(shader, pair[1]);
      gl.compileShader(shader);
      if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(shader));
      gl.attachShader(program, shader);
    });
    gl.linkProgram(program);
    if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(program));
    return program;
  }

  function GLRenderer(canvas, graph) {
    // Multisampling costs software renderers dearly; the node shader smooths
    // its own rims instead. Frames add to the last one's picture, so the
    // drawing buffer is kept.
    var options = { antialias: false, alpha: false, preserveDrawingBuffer: true };
    var gl = canvas.getContext("webgl", options);
    if (!gl) throw new Error("no WebGL");
    // Index buffers of a million nodes need 32-bit indices.
    if (!gl.getExtension("OES_element_index_uint")) throw new Error("no 32-bit indices");
    this.gl = gl;
    this.graph = graph;
    this.edgeProgram = compile(gl, EDGE_FRAGMENT);
    this.nodeProgram = compile(gl, NODE_FRAGMENT);
    this.positions = this.buffer(gl.ARRAY_BUFFER, graph.positions);
    this.radii = this.buffer(gl.ARRAY_BUFFER, graph.radii);
    this.colours = this.buffer(gl.ARRAY_BUFFER, graph.colours);
    this.nodeOrder = this.buffer(gl.ELEMENT_ARRAY_BUFFER, graph.nodeOrder);
    this.edgePairs = this.buffer(gl.ELEMENT_ARRAY_BUFFER, graph.edgePairs);
    this.kind = "webgl";
  }

  GLRenderer.prototype.buffer = function (target, data) {
    var gl = this.gl;
    var buffer = gl.createBuffer();
    gl.bindBuffer(target, buffer);
    gl.bufferData(target, data.length ? data : new Uint8Array(4), gl.STATIC_DRAW);
    return buffer;
  };

  GLRenderer.prototype.setColours = function (colours) {
    var gl = this.gl;
    gl.bindBuffer(gl.ARRAY_BUFFER, this.colours);
    gl.bufferData(gl.ARRAY_BUFFER, colours, gl.STATIC_DRAW);
  };

  GLRenderer.prototype.use = function (program, camera, width, height, ratio, alpha) {
    var gl = this.gl;
    gl.useProgram(program);
    var where = function (name) { return gl.getUniformLocation(program, name); };
    var r = camera.rotation();
    // mat3 uniforms are column-major: pass the transpose of the row-major r.
    gl.uniformMatrix3fv(where("u_rotation"), false, [r[0], r[3], r[6], r[1], r[4], r[7], r[2], r[5], r[8]]);
    gl.uniform3fv(where("u_center"), camera.center);
    gl.uniform2f(where("u_scale"), (2 * camera.zoom) / width, (2 * camera.zoom) / height);
    gl.uniform1f(where("u_inverse_distance"), camera.distance ? 1 / camera.distance : 0);
    gl.uniform1f(where("u_pixels"), camera.zoom * ratio);
    gl.uniform1f(where("u_min_pixels"), MIN_NODE_PX * ratio);
    gl.uniform1f(where("u_alpha"), alpha);
    this.attribute(program, "a_position", this.positions, this.graph.dim, gl.FLOAT, false);
    this.attribute(program, "a_colour", this.colours, 4, gl.UNSIGNED_BYTE, true);
    this.attribute(program, "a_radius", this.radii, 1, gl.FLOAT, false);
  };

  GLRenderer.prototype.attribute = function (program, name, buffer, size, type, normalized) {
    var gl = this.gl;
    var location = gl.getAttribLocation(program, name);
    if (location < 0) return;
    gl.bindBuffer(gl.ARRAY_BUFFER, buffer);
    gl.enableVertexAttribArray(location);
    gl.vertexAttribPointer(location, size, type, normalized, 0, 0);
  };

  // Draws edges [part.edges[0], part.edges[1]) and then nodes
  // [part.nodes[0], part.nodes[1]) of the interleaved orders, over what the
  // last frames drew unless part.clear.
  GLRenderer.prototype.draw = function (camera, width, height, ratio, part) {
    var gl = this.gl;
    gl.viewport(0, 0, gl.drawingBufferWidth, gl.drawingBufferHeight);
    if (part.clear) {
      gl.clearColor(1, 1, 1, 1);
      gl.clear(gl.COLOR_BUFFER_BIT);
    }
    gl.enable(gl.BLEND);
    gl.blendFuncSeparate(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA, gl.ZERO, gl.ONE);
    if (part.edges[1] > part.edges[0]) {
      this.use(this.edgeProgram, camera, width, height, ratio, part.alpha);
      gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, this.edgePairs);
      gl.drawElements(gl.LINES, 2 * (part.edges[1] - part.edges[0]), gl.UNSIGNED_INT, 8 * part.edges[0]);
    }
    if (part.nodes[1] > part.nodes[0]) {
      this.use(this.nodeProgram, camera, width, height, ratio, 1);
      gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, this.nodeOrder);
      gl.drawElements(gl.POINTS, part.nodes[1] - part.nodes[0], gl.UNSIGNED_INT, 4 * part.nodes[0]);
    }
  };

  // ---- 2-D canvas renderer (no WebGL) -------------------------------------

  function CanvasRenderer(canvas, graph) {
    this.context = canvas.getContext("2d");
    this.graph = graph;
    this.colours = graph.colours;
    this.kind = "canvas";
  }

  CanvasRenderer.prototype.setColours = function (colours) {
    this.colours = colours;
  };

  CanvasRenderer.prototype.draw = function (camera, width, height, ratio, part) {
    var ctx = this.context, g = this.graph, dim = g.dim, p = g.positions, c = this.colours;
    var r = camera.rotation();
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    if (part.clear) {
      ctx.fillStyle = "#ffffff";
      ctx.fillRect(0, 0, width, height);
    }
    var screen = new Float32Array(3 * g.n);
    for (var i = 0; i < g.n; i++) {
      var s = camera.project(p[dim * i], p[dim * i + 1], dim === 3 ? p[dim * i + 2] : 0, width, height, r);
      screen[3 * i] = s[0];
      screen[3 * i + 1] = s[1];
      screen[3 * i + 2] = s[2];
    }
    if (part.edges[1] > part.edges[0]) {
      ctx.strokeStyle = "rgba(90, 100, 115, " + Math.min(1, 2 * part.alpha) + ")";
      ctx.lineWidth = 1;
      ctx.beginPath();
      var pairs = g.edgePairs;
      for (var e = 2 * part.edges[0]; e < 2 * part.edges[1]; e += 2) {
        var a = pairs[e], b = pairs[e + 1];
        if (screen[3 * a + 2] <= 0 || screen[3 * b + 2] <= 0) continue;
        ctx.moveTo(screen[3 * a], screen[3 * a + 1]);
        ctx.lineTo(screen[3 * b], screen[3 * b + 1]);
      }
      ctx.stroke();
    }
    var order = g.nodeOrder, last = -1;
    for (var k = part.nodes[0]; k < part.nodes[1]; k++) {
      var v = order[k], w = screen[3 * v + 2];
      if (w <= 0) continue;
      var key = (c[4 * v] << 16) | (c[4 * v + 1] << 8) | c[4 * v + 2];
      if (key !== last) {
        ctx.fillStyle = "rgb(" + c[4 * v] + "," + c[4 * v + 1] + "," + c[4 * v + 2] + ")";
        last = key;
      }
      var radius = Math.max(MIN_NODE_PX / 2, (g.radii[v] * camera.zoom) / w);
      if (radius < 1.5) {
        ctx.fillRect(screen[3 * v] - radius, screen[3 * v + 1] - radius, 2 * radius, 2 * radius);
      } else {
        ctx.beginPath();
        ctx.arc(screen[3 * v], screen[3 * v + 1], radius, 0, 2 * Math.PI);
        ctx.fill();
      }
    }
  };

  // ---- page --------------------------------------------------------------

  function element(tag, attributes, parent) {
    var node = document.createElement(tag);
    Object.keys(attributes || {}).forEach(function (key) {
      if (key === "text") node.textContent = attributes[key];
      else node.setAttribute(key, attributes[key]);
    });
    if (parent) parent.appendChild(node);
    return node;
  }

  function Viewer(meta) {
    var started = performance.now();
    this.meta = meta;
    var n = meta.n;
    var graph = {
      n: n,
      dim: meta.dim,
      positions: blob("positions", Float32Array),
      radii: blob("radii", Float32Array) || degreeRadii(meta.attributes.degree, meta.radius_unit),
      nodeOrder: interleavedNodes(n),
      edgePairs: interleavedEdges(blob("edge-counts", Uint32Array), blob("edge-targets", Uint32Array)),
      labels: meta.labels,
    };
    this.graph = graph;
    this.edgeCount = graph.edgePairs.length / 2;
    this.schemes = meta.schemes.map(function (scheme, index) {
      return { scheme: scheme, codes: blob("colours-" + index, Uint8Array) };
    });
    graph.colours = schemeColours(this.schemes[0].scheme, this.schemes[0].codes);
    this.buildPage();
    this.camera = new Camera(meta);
    this.renderer = this.makeRenderer();
    this.showEdges = this.edgeCount > 0;
    this.budget = FIRST_BUDGET; // nodes and edges a frame may draw
    this.progress = null; // what the frames at rest have still to draw
    this.movedAt = -Infinity;
    this.lastFrameAt = 0;
    this.hovered = -1;
    this.found = -1;
    this.matches = [];
    this.framesDrawn = 0;
    this.resize();
    this.camera.reset(this.width, this.height);
    this.setScheme(0);
    this.bindInput();
    this.requestDraw(false);
    this.readyMs = performance.now() - started;
  }

  Viewer.prototype.makeRenderer = function () {
    if (location.hash !== "#canvas") {
      try {
        return new GLRenderer(this.canvas, this.graph);
      } catch (error) {
        // A canvas that failed to give WebGL may not give a 2-D context:
        // start over with a fresh one.
        var fresh = this.canvas.cloneNode(false);
        this.canvas.parentNode.replaceChild(fresh, this.canvas);
        this.canvas = fresh;
      }
    }
    return new CanvasRenderer(this.canvas, this.graph);
  };

  Viewer.prototype.buildPage = function () {
    var meta = this.meta;
    var app = document.getElementById("tallow-app");
    this.canvas = element("canvas", { id: "tallow-canvas", tabindex: "0" }, app);
    this.overlay = element("canvas", { id: "tallow-overlay" }, app);
    var panel = element("div", { id: "tallow-panel" }, app);
    element("h1", { text: meta.title }, panel);
    var counts = meta.n.toLocaleString("en") + " nodes, " + this.edgeCount.toLocaleString("en") + " edges";
    if (meta.edges_total > this.edgeCount) counts += " (of " + meta.edges_total.toLocaleString("en") + ")";
    element("div", { class: "tallow-counts", text: counts }, panel);
    var search = element("form", { id: "tallow-search" }, panel);
    this.searchBox = element("input", { type: "search", placeholder: "find a node", "aria-label": "find a node" }, search);
    element("button", { type: "submit", text: "Find" }, search);
    this.searchResult = element("div", { class: "tallow-result" }, panel);
    var row = element("div", { class: "tallow-row" }, panel);
    element("label", { for: "tallow-colour", text: "colour by " }, row);
    this.schemeBox = element("select", { id: "tallow-colour" }, row);
    this.schemes.forEach(function (entry, index) {
      element("option", { value: String(index), text: entry.scheme.name }, this.schemeBox);
    }, this);
    var edgeRow = element("label", { class: "tallow-row" }, panel);
    this.edgeBox = element("input", { type: "checkbox", id: "tallow-edges" }, edgeRow);
    this.edgeBox.checked = this.edgeCount > 0;
    edgeRow.appendChild(document.createTextNode(" edges"));
    var help = meta.dim === 3
      ? "drag: rotate · shift-drag or right-drag: pan · wheel, pinch, +/-: zoom · W A S D: rotate · arrows: pan · E: edges · 0: reset"
      : "drag: pan · wheel, pinch, +/-: zoom · arrows: pan · E: edges · 0: reset";
    element("div", { class: "tallow-help", text: help }, panel);
    this.legend = element("div", { id: "tallow-legend" }, app);
    this.tooltip = element("div", { id: "tallow-tooltip" }, app);
  };

  Viewer.prototype.setScheme = function (index) {
    var entry = this.schemes[index];
    this.graph.colours = schemeColours(entry.scheme, entry.codes);
    this.renderer.setColours(this.graph.colours);
    this.schemeBox.value = String(index);
    this.drawLegend(entry.scheme);
    this.requestDraw(false);
  };

  Viewer.prototype.drawLegend = function (scheme) {
    var legend = this.legend;
    legend.textContent = "";
    element("div", { class: "tallow-legend-title", text: scheme.legend.title }, legend);
    if (scheme.legend.kind === "scale") {
      var bar = element("div", { class: "tallow-scale" }, legend);
      bar.style.background = "linear-gradient(to right, " + scheme.legend.colours.join(", ") + ")";
      var ends = element("div", { class: "tallow-scale-ends" }, legend);
      element("span", { text: scheme.legend.low }, ends);
      element("span", { text: scheme.legend.high }, ends);
      return;
    }
    scheme.legend.entries.forEach(function (pair) {
      var row = element("div", { class: "tallow-legend-row" }, legend);
      element("span", { class: "tallow-swatch", style: "background:" + pair[0] }, row);
      element("span", { text: pair[1] }, row);
    });
  };

  // ---- drawing -----------------------------------------------------------

  Viewer.prototype.resize = function () {
    var ratio = window.devicePixelRatio || 1;
    this.ratio = ratio;
    this.width = this.canvas.clientWidth || window.innerWidth;
    this.height = this.canvas.clientHeight || window.innerHeight;
    [this.canvas, this.overlay].forEach(function (canvas) {
      canvas.width = Math.round(this.width * ratio);
      canvas.height = Math.round(this.height * ratio);
    }, this);
  };

  // Draws at the next frame: the view moved, or the picture changed and
  // is drawn anew.
  Viewer.prototype.requestDraw = function (moving) {
    if (moving) {
      this.movedAt = performance.now();
      this.movedSinceDraw = true;
    } else {
      this.progress = { fresh: true }; // a sample first, as when moving
    }
    this.schedule();
  };

  Viewer.prototype.schedule = function () {
    if (this.pending) return;
    this.pending = true;
    var self = this;
    requestAnimationFrame(function (now) {
      self.pending = false;
      self.drawFrame(now);
    });
  };

  Viewer.prototype.edgeAlpha = function () {
    return Math.min(0.6, Math.max(0.05, 12 / Math.sqrt(Math.max(this.edgeCount, 1))));
  };

  Viewer.prototype.drawFrame = function (now) {
    // A frame slower than REST_MS still counts as moving when the view
    // moved since the last one.
    var moving = this.movedSinceDraw || now - this.movedAt < REST_MS;
    this.movedSinceDraw = false;
    if (this.lastFrameAt) {
      var took = now - this.lastFrameAt;
      var most = this.graph.n + this.edgeCount;
      var factor = Math.min(1.25, Math.max(0.25, FRAME_MS / Math.max(took, 1)));
      this.budget = Math.max(MIN_BUDGET, Math.min(Math.max(most, MIN_BUDGET), this.budget * factor));
    }
    this.lastFrameAt = 0;
    if (moving || (this.progress && this.progress.fresh)) this.drawMoving();
    else if (this.progress) this.drawMore();
    else return;
    this.lastFrameAt = now;
    this.framesDrawn++;
    this.drawOverlay();
    var self = this;
    if (moving) {
      clearTimeout(this.restTimer);
      this.restTimer = setTimeout(function () { self.schedule(); }, REST_MS);
    } else if (this.progress) {
      this.schedule();
    }
  };

  // A moving frame: an even sample of the graph, nodes first in the budget.
  Viewer.prototype.drawMoving = function () {
    var n = this.graph.n, m = this.showEdges ? this.edgeCount : 0, budget = Math.floor(this.budget);
    var nodes = Math.min(n, Math.max(budget >> 1, budget - m));
    var edges = Math.min(m, budget - nodes);
    this.renderer.draw(this.camera, this.width, this.height, this.ratio, {
      clear: true, edges: [0, edges], nodes: [0, nodes], alpha: this.edgeAlpha(),
    });
    // At rest, the next frames add the other edges, then all nodes on top.
    var done = edges === m && nodes === n;
    this.progress = done ? null : { edge: edges, node: edges === m ? nodes : 0, clear: false };
  };

  // A frame at rest: the next slice of edges, then of nodes.
  Viewer.prototype.drawMore = function () {
    var progress = this.progress, left = Math.floor(this.budget);
    var m = this.showEdges ? this.edgeCount : 0, n = this.graph.n;
    var edgeEnd = Math.min(m, progress.edge + left);
    left -= Math.max(0, edgeEnd - progress.edge);
    var nodeEnd = edgeEnd === m ? Math.min(n, progress.node + left) : progress.node;
    this.renderer.draw(this.camera, this.width, this.height, this.ratio, {
      clear: progress.clear, edges: [progress.edge, edgeEnd], nodes: [progress.node, nodeEnd],
      alpha: this.edgeAlpha(),
    });
    this.progress = nodeEnd === n && edgeEnd === m ? null : { edge: edgeEnd, node: nodeEnd, clear: false };
  };

  // The whole graph in one frame, whatever it costs.
  Viewer.prototype.drawWhole = function () {
    this.renderer.draw(this.camera, this.width, this.height, this.ratio, {
      clear: true, edges: [0, this.showEdges ? this.edgeCount : 0], nodes: [0, this.graph.n],
      alpha: this.edgeAlpha(),
    });
    this.progress = null;
    this.drawOverlay();
  };

  // Labels of small graphs, the hovered node and the node found.
  Viewer.prototype.drawOverlay = function () {
    var ctx = this.overlay.getContext("2d");
    ctx.setTransform(this.ratio, 0, 0, this.ratio, 0, 0);
    ctx.clearRect(0, 0, this.width, this.height);
    var g = this.graph, r = this.camera.rotation();
    if (g.n <= LABELS_UP_TO && g.labels) {
      ctx.font = "11px sans-serif";
      ctx.fillStyle = "#222222";
      for (var i = 0; i < g.n; i++) {
        var s = this.screenOf(i, r);
        var offset = 0.7 * this.radiusOnScreen(i, s[2]) + 3;
        if (s[2] > 0) ctx.fillText(g.labels[i], s[0] + offset, s[1] - offset);
      }
    }
    [[this.found, "#d62728"], [this.hovered, "#111111"]].forEach(function (pair) {
      if (pair[0] < 0) return;
      var s = this.screenOf(pair[0], r);
      if (s[2] <= 0) return;
      ctx.strokeStyle = pair[1];
      ctx.lineWidth = 2;
      ctx.beginPath();
      ctx.arc(s[0], s[1], Math.max(6, this.radiusOnScreen(pair[0], s[2]) + 4), 0, 2 * Math.PI);
      ctx.stroke();
    }, this);
  };

  Viewer.prototype.screenOf = function (i, rotation) {
    var p = this.graph.positions, dim = this.graph.dim;
    return this.camera.project(
      p[dim * i], p[dim * i + 1], dim === 3 ? p[dim * i + 2] : 0,
      this.width, this.height, rotation || this.camera.rotation()
    );
  };

  Viewer.prototype.radiusOnScreen = function (i, w) {
    return Math.max(MIN_NODE_PX / 2, (this.graph.radii[i] * this.camera.zoom) / w);
  };

  // The node drawn under a screen point: the nearest within its radius or
  // PICK_PX, the front one in 3-D; -1 for none. The projection is inlined:
  // this runs over every node at each hover, a million of them in big pages.
  Viewer.prototype.nodeAt = function (x, y) {
    var g = this.graph, p = g.positions, dim = g.dim, radii = g.radii, camera = this.camera;
    var r = camera.rotation(), c = camera.center, zoom = camera.zoom;
    var inverse = camera.distance ? 1 / camera.distance : 0;
    var ox = x - this.width / 2, oy = this.height / 2 - y;
    var best = -1, bestScore = Infinity;
    for (var i = 0; i < g.n; i++) {
      var px = p[dim * i] - c[0], py = p[dim * i + 1] - c[1], pz = dim === 3 ? p[dim * i + 2] - c[2] : -c[2];
      var w = 1 - (r[6] * px + r[7] * py + r[8] * pz) * inverse;
      if (w <= 0) continue;
      var dx = ((r[0] * px + r[1] * py + r[2] * pz) * zoom) / w - ox;
      var dy = ((r[3] * px + r[4] * py + r[5] * pz) * zoom) / w - oy;
      var reach = Math.max(PICK_PX, (radii[i] * zoom) / w);
      var d2 = dx * dx + dy * dy;
      if (d2 > reach * reach) continue;
      var score = dim === 3 ? w : d2; // nearer the eye means a smaller w
      if (score < bestScore) {
        best = i;
        bestScore = score;
      }
    }
    return best;
  };

  // ---- hover and search --------------------------------------------------

  Viewer.prototype.describe = function (i) {
    var meta = this.meta, lines = [];
    lines.push(["", meta.labels ? meta.labels[i] : String(i)]);
    Object.keys(meta.attributes).forEach(function (name) {
      var value = meta.attributes[name][i];
      if (value !== null && value !== "") lines.push([name, String(value)]);
    });
    return lines;
  };

  Viewer.prototype.hover = function (x, y) {
    var i = this.nodeAt(x, y);
    var tip = this.tooltip;
    if (i !== this.hovered) {
      this.hovered = i;
      this.drawOverlay();
    }
    if (i < 0) {
      tip.style.display = "none";
      return;
    }
    tip.textContent = "";
    this.describe(i).forEach(function (line, index) {
      var row = element("div", { class: index ? "" : "tallow-tooltip-label" }, tip);
      if (line[0]) element("span", { class: "tallow-key", text: line[0] + ": " }, row);
      element("span", { text: line[1] }, row);
    });
    tip.style.display = "block";
    tip.style.left = Math.min(x + 14, this.width - tip.offsetWidth - 4) + "px";
    tip.style.top = Math.min(y + 14, this.height - tip.offsetHeight - 4) + "px";
  };

  // Exact label first, then ignoring case, then labels containing the text;
  // pressing Enter again moves on to the next match.
  Viewer.prototype.search = function (text) {
    var labels = this.meta.labels || [];
    if (!text) return -1;
    if (text !== this.lastSearch) {
      this.lastSearch = text;
      this.matchIndex = -1;
      var lower = text.toLowerCase(), exact = [], folded = [], partial = [];
      for (var i = 0; i < labels.length; i++) {
        var label = String(labels[i]);
        if (label === text) exact.push(i);
        else if (label.toLowerCase() === lower) folded.push(i);
        else if (partial.length < 1000 && label.toLowerCase().indexOf(lower) >= 0) partial.push(i);
      }
      this.matches = exact.concat(folded, partial);
    }
    if (!this.matches.length) {
      this.searchResult.textContent = "no node matches " + JSON.stringify(text);
      this.found = -1;
      this.drawOverlay();
      return -1;
    }
    this.matchIndex = (this.matchIndex + 1) % this.matches.length;
    var node = this.matches[this.matchIndex];
    this.searchResult.textContent =
      "match " + (this.matchIndex + 1) + " of " + this.matches.length + (this.matches.length >= 1000 ? "+" : "");
    this.centreOn(node);
    return node;
  };

  Viewer.prototype.centreOn = function (i) {
    var p = this.graph.positions, dim = this.graph.dim;
    this.camera.center = [p[dim * i], p[dim * i + 1], dim === 3 ? p[dim * i + 2] : 0];
    // Close enough to tell the node from its neighbours.
    var close = (0.45 * Math.min(this.width, this.height)) / (this.meta.view.radius / 8);
    this.camera.zoom = Math.max(this.camera.zoom, close);
    this.found = i;
    this.requestDraw(false);
  };

  // ---- input -------------------------------------------------------------

  Viewer.prototype.bindInput = function () {
    var self = this, canvas = this.canvas, pointers = new Map();
    var local = function (event) {
      var box = canvas.getBoundingClientRect();
      return [event.clientX - box.left, event.clientY - box.top];
    };
    canvas.addEventListener("contextmenu", function (event) { event.preventDefault(); });
    canvas.addEventListener("pointerdown", function (event) {
      canvas.focus();
      canvas.setPointerCapture(event.pointerId);
      pointers.set(event.pointerId, local(event));
      self.tooltip.style.display = "none";
    });
    var release = function (event) { pointers.delete(event.pointerId); };
    canvas.addEventListener("pointerup", release);
    canvas.addEventListener("pointercancel", release);
    canvas.addEventListener("pointerleave", function () {
      if (!pointers.size) self.tooltip.style.display = "none";
    });
    canvas.addEventListener("pointermove", function (event) {
      var now = local(event);
      if (!pointers.has(event.pointerId)) {
        self.hoverAt = now;
        if (!self.hoverPending) {
          self.hoverPending = true;
          requestAnimationFrame(function () {
            self.hoverPending = false;
            self.hover(self.hoverAt[0], self.hoverAt[1]);
          });
        }
        return;
      }
      var before = pointers.get(event.pointerId);
      if (pointers.size === 1) {
        var dx = now[0] - before[0], dy = now[1] - before[1];
        var pan = self.graph.dim !== 3 || event.shiftKey || (event.buttons & 2) !== 0;
        if (pan) self.camera.shift(-dx, -dy);
        else self.rotate(dx * 0.01, dy * 0.01);
      } else if (pointers.size === 2) {
        self.pinch(event.pointerId, now, pointers);
      }
      pointers.set(event.pointerId, now);
      self.requestDraw(true);
    });
    canvas.addEventListener("wheel", function (event) {
      event.preventDefault();
      var at = local(event);
      var steps = event.deltaY * (event.deltaMode === 1 ? 33 : event.deltaMode === 2 ? 400 : 1);
      self.camera.zoomAbout(Math.exp(-steps * 0.0015), at[0] - self.width / 2, at[1] - self.height / 2);
      self.requestDraw(true);
    }, { passive: false });
    window.addEventListener("keydown", function (event) { self.key(event); });
    window.addEventListener("resize", function () {
      self.resize();
      self.requestDraw(false);
    });
    this.searchBox.form.addEventListener("submit", function (event) {
      event.preventDefault();
      self.search(self.searchBox.value.trim());
    });
    this.schemeBox.addEventListener("change", function () { self.setScheme(Number(self.schemeBox.value)); });
    this.edgeBox.addEventListener("change", function () { self.setEdges(self.edgeBox.checked); });
  };

  // Two fingers: the distance between them zooms, their midpoint pans.
  Viewer.prototype.pinch = function (id, now, pointers) {
    var other = null;
    pointers.forEach(function (point, key) { if (key !== id) other = point; });
    var before = pointers.get(id);
    var span = function (a) { return Math.hypot(a[0] - other[0], a[1] - other[1]) || 1; };
    var mid = function (a) { return [(a[0] + other[0]) / 2, (a[1] + other[1]) / 2]; };
    var m0 = mid(before), m1 = mid(now);
    this.camera.shift(-(m1[0] - m0[0]), -(m1[1] - m0[1]));
    this.camera.zoomAbout(span(now) / span(before), m1[0] - this.width / 2, m1[1] - this.height / 2);
  };

  Viewer.prototype.rotate = function (yaw, pitch) {
    var camera = this.camera;
    camera.yaw += yaw;
    camera.pitch = Math.max(-1.55, Math.min(1.55, camera.pitch + pitch));
  };

  Viewer.prototype.setEdges = function (shown) {
    this.showEdges = shown && this.edgeCount > 0;
    this.edgeBox.checked = this.showEdges;
    this.requestDraw(false);
  };

  Viewer.prototype.key = function (event) {
    var target = event.target;
    if (target && (target.tagName === "INPUT" || target.tagName === "SELECT")) return;
    var step = 60, camera = this.camera, three = this.graph.dim === 3;
    var actions = {
      ArrowLeft: function () { camera.shift(-step, 0); },
      ArrowRight: function () { camera.shift(step, 0); },
      ArrowUp: function () { camera.shift(0, -step); },
      ArrowDown: function () { camera.shift(0, step); },
      "+": function () { camera.zoomAbout(1.25, 0, 0); },
      "=": function () { camera.zoomAbout(1.25, 0, 0); },
      "-": function () { camera.zoomAbout(0.8, 0, 0); },
      "0": function () { camera.reset(this.width, this.height); }.bind(this),
      e: function () { this.setEdges(!this.showEdges); }.bind(this),
    };
    if (three) {
      var self = this;
      actions.a = function () { self.rotate(-0.1, 0); };
      actions.d = function () { self.rotate(0.1, 0); };
      actions.w = function () { self.rotate(0, -0.1); };
      actions.s = function () { self.rotate(0, 0.1); };
    }
    var action = actions[event.key.length === 1 ? event.key.toLowerCase() : event.key];
    if (!action) return;
    event.preventDefault();
    action();
    this.requestDraw(true);
  };

  // ---- start -------------------------------------------------------------

  function start() {
    var meta = JSON.parse(document.getElementById("tallow-meta").textContent);
    window.tallowViewer = new Viewer(meta);
  }

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
