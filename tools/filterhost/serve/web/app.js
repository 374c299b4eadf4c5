// The filterhost page: open an image, pick a plug-in and its parameters,
// run it with live progress, compare before and after, chain and undo.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const $ = (id) => document.getElementById(id);

const state = {
  plugins: [],
  chain: [],         // image records, oldest first; the last is the current image
  run: null,         // the run this page is waiting for
  runTimer: null,
  zoom: 0,           // 0: fit to the viewer
  samples: new Map(),
  maxUpload: 0,
};

function url(path, params = {}) {
  const query = new URLSearchParams({ ...params, token });
  return `${path}?${query}`;
}

async function api(path, options = {}, params = {}) {
  const response = await fetch(url(path, params), options);
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  if (!response.ok) {
    const text = body && body.error ? body.error : `${response.status} ${response.statusText}`;
    throw new Error(response.status === 413 ? 'the file is larger than the server accepts' : text);
  }
  return body;
}

function setStatus(text) { $('status').textContent = text; }

function describeImage(image) {
  return `${image.width} × ${image.height}, ${image.kind}`;
}

// ---- opening images -------------------------------------------------------

async function openFile(file) {
  if (!file) return;
  if (state.maxUpload && file.size > state.maxUpload) {
    $('upload-note').textContent = `${file.name} is larger than the ${formatBytes(state.maxUpload)} the server accepts.`;
    $('upload-note').classList.add('error');
    return;
  }
  $('upload-note').classList.remove('error');
  $('upload-note').textContent = `Reading ${file.name}…`;
  try {
    const image = await api(`/api/images`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/octet-stream' },
      body: file,
    }, { name: file.name });
    image.label = file.name;
    state.chain = [image];
    $('upload-note').textContent = `${file.name}: ${describeImage(image)}`;
    clearMessages();
    showChain();
  } catch (e) {
    $('upload-note').textContent = `Cannot open ${file.name}: ${e.message}`;
    $('upload-note').classList.add('error');
  }
}

function formatBytes(n) {
  if (n >= 1 << 30) return `${(n / (1 << 30)).toFixed(1)} GB`;
  if (n >= 1 << 20) return `${(n / (1 << 20)).toFixed(1)} MB`;
  return `${Math.round(n / 1024)} KB`;
}

function setUpOpening() {
  const zone = $('drop-zone');
  $('file-input').addEventListener('change', (e) => openFile(e.target.files[0]));
  zone.addEventListener('dragover', (e) => { e.preventDefault(); zone.classList.add('dragging'); });
  zone.addEventListener('dragleave', () => zone.classList.remove('dragging'));
  zone.addEventListener('drop', (e) => {
    e.preventDefault();
    zone.classList.remove('dragging');
    openFile(e.dataTransfer.files[0]);
  });
  // A file dropped anywhere else opens too, rather than the browser leaving the page.
  document.addEventListener('dragover', (e) => e.preventDefault());
  document.addEventListener('drop', (e) => {
    e.preventDefault();
    if (e.dataTransfer.files.length) openFile(e.dataTransfer.files[0]);
  });
}

// ---- plug-ins and parameters ---------------------------------------------

function currentPlugin() {
  return state.plugins.find((p) => p.name === $('plugin-select').value);
}

function showPlugin() {
  const plugin = currentPlugin();
  const form = $('param-form');
  form.replaceChildren();
  if (!plugin) return;
  $('plugin-about').textContent = plugin.about || '';
  const description = plugin.description;
  for (const param of (description && description.parameters) || []) form.append(parameterField(param));
  updateButtons();
}

// The plug-in's summary, what it does with the reference image, the kinds
// of image it takes, and whether the current image is one of them.
function pluginNote(plugin) {
  if (plugin.error) return `This plug-in cannot be loaded: ${plugin.error}`;
  const description = plugin.description;
  if (!description) return '';
  let text = description.summary || '';
  if (description.reference_image === 'reads') text += '\nUses the stored reference image.';
  if (description.reference_image === 'writes') text += '\nStores the image as the reference image.';
  if (description.modes_text) text += `\nFor ${description.modes_text} images.`;
  const image = currentImage();
  if (!takesImage(plugin, image)) text += `\nIt does not take the current image (${image.kind}).`;
  return text.trim();
}

function parameterField(param) {
  const label = document.createElement('label');
  const caption = document.createElement('span');
  caption.textContent = param.unit ? `${param.name} (${param.unit})` : param.name;
  const input = document.createElement('input');
  input.type = 'number';
  input.name = param.name;
  input.step = param.integer ? '1' : 'any';
  input.min = param.minimum;
  input.max = param.maximum;
  input.value = param.default;
  input.dataset.default = String(param.default);
  input.title = param.meaning;
  const hint = document.createElement('span');
  hint.className = 'hint';
  hint.textContent = `${param.meaning} (${param.minimum} to ${param.maximum}, default ${param.default})`;
  label.append(caption, input, hint);
  return label;
}

// Only values changed from their defaults are sent, as one would give them
// with --param on the command line.
function parameterValues() {
  const values = {};
  for (const input of $('param-form').querySelectorAll('input')) {
    if (input.value === '' || Number(input.value) === Number(input.dataset.default)) continue;
    values[input.name] = input.value;  // as typed, as --param takes it
  }
  return values;
}

// ---- runs ------------------------------------------------------------------

async function startRun(pluginName) {
  const image = currentImage();
  if (!image || state.run) return;
  const plugin = pluginName || $('plugin-select').value;
  const params = pluginName ? {} : parameterValues();
  clearMessages();
  try {
    const run = await api('/api/runs', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ plugin, image: image.id, params }),
    });
    state.run = run;
    state.runStarted = null;
    showRun(run);
    state.runTimer = setInterval(() => pollRun(), 1000);
  } catch (e) {
    addMessage(`Cannot start ${plugin}: ${e.message}`, true);
  }
  updateButtons();
}

// Events carry every change; the poll is a backstop for a lost stream.
async function pollRun() {
  if (!state.run) return;
  try {
    onRunEvent(await api(`/api/runs/${state.run.id}`));
  } catch (e) { /* the next tick tries again */ }
}

function onRunEvent(run) {
  if (!state.run || run.id !== state.run.id) return;
  state.run = run;
  showRun(run);
  if (['done', 'failed', 'cancelled'].includes(run.state)) finishRun(run);
}

function showRun(run) {
  $('progress').hidden = false;
  const bar = $('progress-bar');
  if (run.state === 'running' && run.total > 0) bar.value = Math.min(1, run.done / run.total);
  else if (run.state === 'done') bar.value = 1;
  else bar.removeAttribute('value');
  let phase = run.phase;
  if (run.state === 'queued') phase = `queued (${run.queue_position} in line)`;
  $('progress-phase').textContent = `${run.plugin}: ${phase}`;
  if (run.state === 'running' && !state.runStarted) state.runStarted = performance.now() - run.seconds * 1000;
  const seconds = state.runStarted ? (performance.now() - state.runStarted) / 1000 : run.seconds;
  $('progress-time').textContent = run.state === 'queued' ? '' : `${(run.state === 'running' ? seconds : run.seconds).toFixed(1)} s`;
  showRunMessages(run);
}

function showRunMessages(run) {
  const box = $('messages');
  const shown = box.querySelectorAll('.message.plugin').length;
  for (const text of run.messages.slice(shown)) addMessage(text, false, 'plugin');
}

function finishRun(run) {
  clearInterval(state.runTimer);
  // How many runs this page has seen end, for scripts that drive the page.
  document.body.dataset.finishedRuns = Number(document.body.dataset.finishedRuns || 0) + 1;
  state.run = null;
  state.runStarted = null;
  if (run.state === 'done') {
    const image = run.result_info;
    if (run.plugin === 'store_reference') {
      setStatus('Stored the current image as the reference image.');
      refreshReference();
    } else {
      state.chain.push(image);
      showChain();
      setStatus(`${run.plugin} done in ${run.seconds.toFixed(1)} s`);
    }
  } else if (run.state === 'cancelled') {
    addMessage(`${run.plugin} was cancelled; the image is unchanged.`, true);
    setStatus('Cancelled');
  } else {
    addMessage(`${run.plugin} failed: ${run.error}`, true);
    setStatus('Failed');
  }
  updateButtons();
}

async function cancelRun() {
  if (!state.run) return;
  try {
    onRunEvent(await api(`/api/runs/${state.run.id}/cancel`, { method: 'POST' }));
  } catch (e) {
    addMessage(`Cannot cancel: ${e.message}`, true);
  }
}

function listenForEvents() {
  const events = new EventSource(url('/api/events'));
  events.addEventListener('run', (e) => onRunEvent(JSON.parse(e.data)));
  events.onerror = () => setStatus('Lost the connection to filterhost serve; retrying…');
  events.onopen = () => setStatus('');
  // Elapsed time keeps moving between events.
  setInterval(() => { if (state.run) showRun(state.run); }, 250);
}

// ---- messages ----------------------------------------------------------------

function clearMessages() { $('messages').replaceChildren(); }

function addMessage(text, isError, kind = '') {
  const box = document.createElement('div');
  box.className = `message ${isError ? 'error' : ''} ${kind}`;
  box.textContent = text;
  $('messages').append(box);
}

// ---- the chain of images ---------------------------------------------------

function currentImage() { return state.chain[state.chain.length - 1]; }
function previousImage() { return state.chain.length > 1 ? state.chain[state.chain.length - 2] : null; }

function showChain() {
  const list = $('chain');
  list.replaceChildren();
  state.chain.forEach((image, i) => {
    const item = document.createElement('li');
    item.textContent = i === 0 ? `${image.label} (${describeImage(image)})` : image.plugin;
    if (i === state.chain.length - 1) item.className = 'current';
    list.append(item);
  });
  showImages();
  updateButtons();
}

function undo() {
  if (state.chain.length < 2) return;
  state.chain.pop();
  clearMessages();
  showChain();
}

// ---- the viewer ----------------------------------------------------------------

function showImages() {
  const after = currentImage();
  const before = previousImage();
  $('viewer-empty').hidden = !!after;
  $('stage').hidden = !after;
  if (!after) return;
  $('after-image').src = url(`/api/images/${after.id}/preview`);
  $('before-image').hidden = !before;
  $('compare-line').hidden = !before;
  $('compare-slider').disabled = !before;
  if (before) $('before-image').src = url(`/api/images/${before.id}/preview`);
  applyZoom();
  applyCompare();
  loadSamples(after);
  if (before) loadSamples(before);
}

function applyCompare() {
  const before = previousImage();
  const split = before ? Number($('compare-slider').value) : 0;
  $('after-image').style.clipPath = `inset(0 0 0 ${split}%)`;
  $('compare-line').style.left = `calc(${split}% - 1px)`;
}

function fitZoom(image) {
  const viewer = $('viewer');
  return Math.min((viewer.clientWidth - 4) / image.width, (viewer.clientHeight - 4) / image.height, 8);
}

function applyZoom() {
  const image = currentImage();
  if (!image) return;
  const zoom = state.zoom || fitZoom(image);
  $('stage').style.width = `${image.width * zoom}px`;
  $('stage').style.height = `${image.height * zoom}px`;
  $('zoom-label').textContent = state.zoom ? `${Math.round(zoom * 100)} %` : `fit (${Math.round(zoom * 100)} %)`;
}

function stepZoom(factor) {
  const image = currentImage();
  if (!image) return;
  const zoom = state.zoom || fitZoom(image);
  state.zoom = Math.min(64, Math.max(1 / 16, zoom * factor));
  applyZoom();
}

// Pixel values come from the image's raw samples, fetched once; very large
// images show none rather than hold the browser's memory.
const kMaxSampleBytes = 256 * 1024 * 1024;

function sampleBytes(image) {
  return image.width * image.height * image.planes * (image.depth === 8 ? 1 : image.depth === 16 ? 2 : 4);
}

async function loadSamples(image) {
  if (state.samples.has(image.id) || sampleBytes(image) > kMaxSampleBytes) return;
  state.samples.set(image.id, null);
  const response = await fetch(url(`/api/images/${image.id}/samples`));
  if (response.ok) state.samples.set(image.id, await response.arrayBuffer());
  else state.samples.delete(image.id);
}

function sampleText(image, x, y) {
  if (sampleBytes(image) > kMaxSampleBytes) return '(too large to show values)';
  const buffer = state.samples.get(image.id);
  if (!buffer) return '…';
  const view = new DataView(buffer);
  const bytes = image.depth === 8 ? 1 : image.depth === 16 ? 2 : 4;
  const at = ((y * image.width + x) * image.planes) * bytes;
  const values = [];
  for (let p = 0; p < image.planes; p++) {
    const offset = at + p * bytes;
    if (offset + bytes > buffer.byteLength) return '…';
    if (bytes === 1) values.push(view.getUint8(offset));
    else if (bytes === 2) values.push(view.getUint16(offset, true));
    else values.push(view.getFloat32(offset, true).toFixed(4));
  }
  return values.join(', ');
}

function showPixel(event) {
  const image = currentImage();
  if (!image) return;
  const box = $('stage').getBoundingClientRect();
  const x = Math.floor((event.clientX - box.left) / box.width * image.width);
  const y = Math.floor((event.clientY - box.top) / box.height * image.height);
  if (x < 0 || y < 0 || x >= image.width || y >= image.height) return;
  const before = previousImage();
  let text = `x ${x}  y ${y}   now: ${sampleText(image, x, y)}`;
  if (before && before.width === image.width && before.height === image.height)
    text += `   before: ${sampleText(before, x, y)}`;
  $('pixel-info').textContent = text;
}

function setUpViewer() {
  $('compare-slider').addEventListener('input', applyCompare);
  $('zoom-in').addEventListener('click', () => stepZoom(2));
  $('zoom-out').addEventListener('click', () => stepZoom(0.5));
  $('zoom-fit').addEventListener('click', () => { state.zoom = 0; applyZoom(); });
  $('zoom-one').addEventListener('click', () => { state.zoom = 1; applyZoom(); });
  $('stage').addEventListener('mousemove', showPixel);
  $('viewer').addEventListener('wheel', (e) => {
    if (!e.ctrlKey) return;
    e.preventDefault();
    stepZoom(e.deltaY < 0 ? 1.25 : 0.8);
  }, { passive: false });
  window.addEventListener('resize', () => { if (!state.zoom) applyZoom(); });
}

// ---- reference, download, buttons --------------------------------------------

async function refreshReference() {
  try {
    const { reference } = await api('/api/reference');
    $('reference-info').textContent = reference
      ? `Stored: ${reference.width} × ${reference.height}`
      : 'None stored.';
  } catch (e) {
    $('reference-info').textContent = `Unknown: ${e.message}`;
  }
}

async function download() {
  const image = currentImage();
  if (!image) return;
  const format = $('format-select').value;
  $('download-note').classList.remove('error');
  $('download-note').textContent = 'Preparing…';
  try {
    const response = await fetch(url(`/api/images/${image.id}/file`, { format }));
    if (!response.ok) throw new Error((await response.json()).error);
    const blob = await response.blob();
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    const stem = (state.chain[0].label || 'image').replace(/\.[^.]*$/, '');
    link.download = `${stem}${state.chain.length > 1 ? '-' + image.plugin : ''}.${format}`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    $('download-note').textContent = `Saved ${link.download}`;
  } catch (e) {
    $('download-note').textContent = `Cannot download as ${format}: ${e.message}`;
    $('download-note').classList.add('error');
  }
}

// The interface's number for an image's kind: grey float is 17, every other
// image keeps its mode.
function interfaceMode(image) {
  return image.mode === 1 && image.depth === 32 ? 17 : image.mode;
}

// Whether the plug-in's description offers it for the image (true without one).
function takesImage(plugin, image) {
  const modes = plugin && plugin.description && plugin.description.image_modes;
  return !image || !modes || modes.includes(interfaceMode(image));
}

function updateButtons() {
  const image = currentImage();
  const plugin = currentPlugin();
  const takes = takesImage(plugin, image);
  $('plugin-section').classList.toggle('refused', !takes);
  if (plugin) $('plugin-description').textContent = pluginNote(plugin);
  $('run-button').title = takes ? '' : `${plugin.name} does not take ${image.kind} images`;
  $('run-button').disabled = !image || !plugin || !!plugin.error || !!state.run || !takes;
  $('cancel-button').disabled = !state.run;
  $('undo-button').disabled = state.chain.length < 2 || !!state.run;
  $('reference-button').disabled = !image || !!state.run || !state.plugins.some((p) => p.name === 'store_reference');
  $('download-button').disabled = !image;
}

async function start() {
  if (!token) {
    setStatus('Open the address that filterhost serve printed; it carries the token.');
    return;
  }
  setUpOpening();
  setUpViewer();
  $('plugin-select').addEventListener('change', showPlugin);
  $('run-button').addEventListener('click', () => startRun());
  $('cancel-button').addEventListener('click', cancelRun);
  $('undo-button').addEventListener('click', undo);
  $('reference-button').addEventListener('click', () => startRun('store_reference'));
  $('download-button').addEventListener('click', download);
  listenForEvents();
  try {
    const session = await api('/api/session');
    state.plugins = session.plugins;
    state.maxUpload = session.max_upload;
    for (const plugin of state.plugins) {
      const option = document.createElement('option');
      option.value = plugin.name;
      option.textContent = plugin.name;
      $('plugin-select').append(option);
    }
    showPlugin();
    refreshReference();
  } catch (e) {
    setStatus(`Cannot reach filterhost serve: ${e.message}`);
  }
}

start();
