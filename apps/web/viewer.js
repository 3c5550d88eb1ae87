// The viewer's page: a Leaflet map of the services `ogcweb serve` opened.
// Every picture, feature and value comes from the program's /api/ calls,
// which run the engine; nothing here talks to a service directly.
'use strict';

const viewer = { map: null, crs: null, catalog: null, overlays: [], ready: false };
window.viewer = viewer;

// --- Small helpers ----------------------------------------------------------

function element(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) {
    if (key === 'class') node.className = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (value !== false && value !== undefined) node.setAttribute(key, value === true ? '' : value);
  }
  for (const child of children) if (child !== null && child !== undefined)
    node.append(typeof child === 'string' ? document.createTextNode(child) : child);
  return node;
}

function query(params) { return new URLSearchParams(params).toString(); }

// A failed call's JSON error as a message, its log codes into the status line.
async function failure(response) {
  let text = `${response.status} ${response.statusText}`;
  try {
    const body = await response.json();
    text = body.error || text;
    if (body.codes && body.codes.length) text += ` (log: ${body.codes.join(', ')})`;
  } catch (e) { /* not JSON: keep the status */ }
  return new Error(text);
}

async function getJson(path, params) {
  const response = await fetch(params ? `${path}?${query(params)}` : path);
  if (!response.ok) throw await failure(response);
  return response.json();
}

async function post(path, params) {
  const response = await fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: query(params),
  });
  if (!response.ok) throw await failure(response);
  return response.json();
}

function fieldsTable(fields) {
  const rows = Object.entries(fields);
  if (!rows.length) return element('em', {}, 'nothing here');
  return element('table', { class: 'popup-fields' },
    ...rows.map(([name, value]) => element('tr', {}, element('td', {}, name), element('td', {}, String(value ?? '')))));
}

function showError(note, error) {
  note.textContent = error.message;
  note.className = 'note error';
}

// The map's current view in the map's system, cut to the part of the world
// the system covers (a zoomed-out map shows more than one world across):
// bbox, pixel size and the geographic bounds the picture is laid over.
function currentView() {
  const map = viewer.map, world = worldBounds();
  const bounds = map.getBounds(), size = map.getSize();
  const sw = viewer.crs.project(bounds.getSouthWest()), ne = viewer.crs.project(bounds.getNorthEast());
  const min = L.point(Math.max(sw.x, world.min.x), Math.max(sw.y, world.min.y));
  const max = L.point(Math.min(ne.x, world.max.x), Math.min(ne.y, world.max.y));
  if (!(min.x < max.x && min.y < max.y)) return null;
  const cut = L.latLngBounds(viewer.crs.unproject(min), viewer.crs.unproject(max));
  const a = map.latLngToContainerPoint(cut.getNorthWest()), b = map.latLngToContainerPoint(cut.getSouthEast());
  const width = Math.max(1, Math.min(size.x, Math.round(b.x - a.x)));
  const height = Math.max(1, Math.min(size.y, Math.round(b.y - a.y)));
  return { crs: viewer.catalog.mapCrs, bbox: [min.x, min.y, max.x, max.y].join(','), width, height, bounds: cut };
}

function worldBounds() {
  const lat = viewer.crs === L.CRS.EPSG4326 ? 90 : 85.0511287798;
  return L.bounds(viewer.crs.project(L.latLng(-lat, -180)), viewer.crs.project(L.latLng(lat, 180)));
}

// --- Pictures for the view (maps and coverages) ------------------------------

// One picture over the whole view, asked again after every pan and zoom. One
// request is in flight at a time; an answer for a view that is no longer the
// map's is dropped and the current one asked for instead.
class ViewPicture {
  constructor(service, dataset, pane, note, opacity) {
    Object.assign(this, { service, dataset, pane, note, opacity, on: false, busy: false, again: false,
                          image: null, drawnView: null, url: null, tried: false });
    this.onMove = () => this.refresh();
  }

  show(on) {
    this.on = on;
    if (on) {
      viewer.map.on('moveend', this.onMove);
      this.refresh();
    } else {
      viewer.map.off('moveend', this.onMove);
      this.clear();
    }
  }

  clear() {
    if (this.image) this.image.remove();
    if (this.url) URL.revokeObjectURL(this.url);
    this.image = this.url = this.drawnView = null;
  }

  async refresh() {
    if (!this.on) return;
    if (this.busy) { this.again = true; return; }
    this.busy = true;
    this.again = false;
    const view = currentView();
    if (!view) { this.busy = false; this.clear(); return; }
    const params = { service: this.service.id, dataset: this.dataset.id, crs: view.crs, bbox: view.bbox,
                     width: view.width, height: view.height };
    try {
      const response = await fetch(`/api/map?${query(params)}`);
      if (!response.ok) throw await failure(response);
      const blob = response.status === 204 ? null : await response.blob();
      if (!this.again && this.on) this.place(blob, view, params, response.headers);
    } catch (error) {
      showError(this.note, error);
    } finally {
      this.busy = false;
      this.tried = true;
      if (this.again && this.on) this.refresh();
      refreshStatus();
    }
  }

  place(blob, view, params, headers) {
    this.clear();
    this.drawnView = params;
    if (blob) {
      this.url = URL.createObjectURL(blob);
      this.image = L.imageOverlay(this.url, view.bounds, { pane: this.pane, opacity: this.opacity }).addTo(viewer.map);
    }
    const min = headers.get('X-Stretch-Min'), max = headers.get('X-Stretch-Max');
    this.note.className = 'note';
    this.note.textContent = !blob ? 'Nothing of it in this view.'
      : min !== null ? `Shown in grey from ${Number(min)} (black) to ${Number(max)} (white).` : '';
  }
}

// --- WMS ---------------------------------------------------------------------

function mapDataset(service, dataset, box) {
  const note = element('div', { class: 'note' });
  const picture = new ViewPicture(service, dataset, 'maps', note, 1.0);
  viewer.overlays.push({ kind: 'map', service, dataset, picture });

  const setLayers = async () => {
    const names = [...box.querySelectorAll('input.visible:checked')].map(input => input.value);
    for (const layer of dataset.layers) layer.visible = names.includes(layer.name);
    try {
      await post('/api/layers', { service: service.id, dataset: dataset.id, layers: names.join(',') });
      picture.refresh();
    } catch (error) { showError(note, error); }
  };
  const setStyle = async (layer, input) => {
    try {
      await post('/api/style', { service: service.id, dataset: dataset.id, layer: layer.name, style: input.value });
      picture.refresh();
    } catch (error) { showError(note, error); }
  };
  const layers = dataset.layers.filter(layer => layer.name);
  const list = element('div', {}, ...layers.map(layer => {
    const style = element('input', { type: 'text', value: layer.style, placeholder: 'default', title: 'style' });
    style.addEventListener('change', () => setStyle(layer, style));
    return element('div', { class: 'layer' },
      element('input', { type: 'checkbox', class: 'visible', value: layer.name, checked: layer.visible,
                         onchange: setLayers }),
      element('span', { class: 'title', title: layer.name },
              layer.title || layer.name, layer.queryable ? element('span', { class: 'q', title: 'answers clicks' }, 'i') : null),
      style);
  }));
  box.append(element('details', { open: true }, element('summary', {}, `${layers.length} layers`), list), note);
  return picture;
}

// Feature information about a click, from the map drawn for the current view.
async function featureInfo(event) {
  const shown = viewer.overlays.filter(o => o.kind === 'map' && o.picture.on && o.picture.drawnView &&
                                       o.dataset.layers.some(l => l.visible && l.queryable));
  if (!shown.length) return;
  const point = viewer.crs.project(event.latlng);
  const popup = L.popup().setLatLng(event.latlng).setContent('Asking the service&hellip;').openOn(viewer.map);
  const parts = [];
  for (const overlay of shown) {
    try {
      const answer = await getJson('/api/featureinfo', { ...overlay.picture.drawnView, x: point.x, y: point.y });
      parts.push(element('div', { class: 'featureinfo' }, element('strong', {}, overlay.dataset.name),
                         fieldsTable(answer.fields)));
    } catch (error) {
      parts.push(element('div', { class: 'error' }, `${overlay.dataset.name}: ${error.message}`));
    }
  }
  const content = element('div', {}, ...parts);
  popup.setContent(content);
  refreshStatus();
}

// --- WFS ---------------------------------------------------------------------

const palette = ['#c0392b', '#1f618d', '#117a65', '#b9770e', '#6c3483', '#2e4053'];

function featureDataset(service, dataset, box) {
  const note = element('div', { class: 'note' });
  const filter = element('input', { type: 'text', placeholder: 'condition, e.g. population > 100000' });
  const state = { on: false, layer: null, busy: false, again: false, tried: false };
  const colour = palette[dataset.id % palette.length];
  const style = feature => {
    const type = feature && feature.geometry ? feature.geometry.type : '';
    const area = /Polygon/.test(type);
    return { color: colour, weight: area ? 1.5 : 2.5, fill: area || /Point/.test(type),
             fillColor: colour, fillOpacity: area ? 0.15 : 0.85, bubblingMouseEvents: false };
  };
  const draw = async () => {
    if (!state.on) return;
    if (state.busy) { state.again = true; return; }
    state.busy = true;
    state.again = false;
    const where = filter.value.trim();
    const params = { service: service.id, dataset: dataset.id };
    if (where) params.where = where;
    else {
      const b = viewer.map.getBounds();
      params.bbox = [Math.max(b.getWest(), -180), Math.max(b.getSouth(), -90),
                     Math.min(b.getEast(), 180), Math.min(b.getNorth(), 90)].join(',');
    }
    try {
      const answer = await getJson('/api/features', params);
      if (state.again || !state.on) return;
      if (state.layer) state.layer.remove();
      state.layer = L.geoJSON(answer.collection, {
        pane: 'features', style,
        pointToLayer: (feature, latlng) => L.circleMarker(latlng, { ...style(feature), radius: 6, pane: 'features' }),
        onEachFeature: (feature, layer) => layer.bindPopup(() => element('div', {},
          element('strong', {}, `${dataset.name} #${feature.id ?? ''}`), fieldsTable(feature.properties || {}))),
      }).addTo(viewer.map);
      state.count = answer.count;
      note.className = 'note';
      note.textContent = `${answer.count} features${answer.truncated ? ' (the first ones only)' : ''}` +
        (where ? ` meeting "${where}"` : ' in view') + ', ' +
        (answer.fromEarlierDownload ? 'from an earlier download.' : 'from a new request.');
    } catch (error) {
      showError(note, error);
    } finally {
      state.busy = false;
      state.tried = true;
      if (state.again && state.on) draw();
      refreshStatus();
    }
  };
  const overlay = {
    kind: 'features', service, dataset, state,
    show(on) {
      state.on = on;
      if (on) { viewer.map.on('moveend', draw); draw(); }
      else { viewer.map.off('moveend', draw); if (state.layer) state.layer.remove(); state.layer = null; }
    },
  };
  viewer.overlays.push(overlay);
  filter.addEventListener('keydown', event => { if (event.key === 'Enter') draw(); });
  const fields = element('table', {}, ...dataset.fields.map(f =>
    element('tr', {}, element('td', {}, f.name), element('td', {}, f.type + (f.size ? ` (${f.size})` : '')))));
  box.append(element('details', {}, element('summary', {}, `${dataset.fields.length} fields`), fields),
             element('div', { class: 'filter' }, filter, element('button', { onclick: draw }, 'Query')), note);
  return overlay;
}

// --- WCS ---------------------------------------------------------------------

function coverageDataset(service, dataset, box) {
  const note = element('div', { class: 'note' });
  const value = element('div', { class: 'note value' });
  const picture = new ViewPicture(service, dataset, 'coverages', note, 0.75);
  viewer.overlays.push({ kind: 'coverage', service, dataset, picture });
  const c = dataset.coverage;
  const rows = [['identifier', c.identifier], ['grid', c.grid.join(' x ')],
                ['systems', c.crs.map(s => s.name).join(', ')], ['formats', c.formats.join(', ')],
                ['bands', c.axes.map(a => `${a.name} ${a.min}..${a.max}`).join(', ')]];
  box.append(element('details', {}, element('summary', {}, 'description'),
                     element('table', {}, ...rows.map(([k, v]) => element('tr', {}, element('td', {}, k),
                                                                          element('td', {}, String(v)))))),
             note, value);

  // The value under the cursor, read from the data drawn last; one
  // question at a time, the latest position wins.
  let busy = false, pending = null;
  const ask = async latlng => {
    if (busy) { pending = latlng; return; }
    busy = true;
    const p = viewer.crs.project(latlng);
    try {
      const answer = await getJson('/api/value', { service: service.id, dataset: dataset.id,
                                                   crs: viewer.catalog.mapCrs, x: p.x, y: p.y });
      value.textContent = answer.value === null ? '' :
        `Value at ${latlng.lng.toFixed(4)}, ${latlng.lat.toFixed(4)}: ${answer.value}`;
    } catch (error) { value.textContent = ''; }
    busy = false;
    if (pending) { const next = pending; pending = null; ask(next); }
  };
  viewer.map.on('mousemove', event => { if (picture.on && picture.drawnView) ask(event.latlng); });
  return picture;
}

// --- WMTS --------------------------------------------------------------------

// Tiles of the map's own grid, each one composed by the engine from its tile
// cache (downloading what the cache lacks): cached areas show with the
// service stopped.
function tileDataset(service, dataset, box) {
  const Tiles = L.TileLayer.extend({
    getTileUrl(coords) {
      const size = this.getTileSize();
      const nw = viewer.map.unproject(coords.scaleBy(size), coords.z);
      const se = viewer.map.unproject(coords.add([1, 1]).scaleBy(size), coords.z);
      const a = viewer.crs.project(nw), b = viewer.crs.project(se);
      return `/api/map?${query({ service: service.id, dataset: dataset.id, crs: viewer.catalog.mapCrs,
                                 bbox: [a.x, b.y, b.x, a.y].join(','), width: size.x, height: size.y })}`;
    },
  });
  const layer = new Tiles('', { pane: 'tiles', maxZoom: 20, tileSize: 256 });
  const note = element('div', { class: 'note' },
                       `${dataset.tiles.levels} levels of ${dataset.tiles.tileSize} pixel tiles`);
  box.append(note);
  const overlay = { kind: 'tiles', service, dataset, layer, loading: false,
                    show(on) { if (on) layer.addTo(viewer.map); else { layer.remove(); overlay.loading = false; } } };
  layer.on('loading', () => { overlay.loading = true; });
  layer.on('tileerror', () => refreshStatus());
  layer.on('load', () => { overlay.loading = false; refreshStatus(); });
  viewer.overlays.push(overlay);
  return overlay;
}

// --- The panel ---------------------------------------------------------------

const kindNames = { wms: 'WMS', wfs: 'WFS', wcs: 'WCS', wmts: 'WMTS' };
const builders = { map: mapDataset, features: featureDataset, coverage: coverageDataset, tiles: tileDataset };

function datasetBox(service, dataset, showAll) {
  const box = element('div', { class: 'dataset', 'data-name': dataset.name });
  const toggle = element('input', { type: 'checkbox' });
  box.append(element('label', {}, toggle, ` ${dataset.name} `, element('span', { class: 'crs' }, dataset.crs)));
  const build = builders[dataset.kind];
  if (!build) return box;
  const overlay = build(service, dataset, box);
  const drawable = dataset.kind !== 'features' || /^(EPSG:4326|CRS:84|OGC:CRS84)$/i.test(dataset.crs);
  if (!drawable) {
    toggle.disabled = true;
    box.append(element('div', { class: 'note' }, `Features in ${dataset.crs} are not drawn on this map.`));
    return box;
  }
  toggle.addEventListener('change', () => overlay.show(toggle.checked));
  // Maps and a service's first tile layer are shown from the start;
  // features and coverages when asked for (or all of them with ?show=all).
  const firstTiles = dataset.kind === 'tiles' && service.datasets.find(d => d.kind === 'tiles') === dataset;
  if (firstTiles || (dataset.kind !== 'tiles' && (showAll || dataset.kind === 'map'))) {
    toggle.checked = true;
    overlay.show(true);
  }
  return box;
}

function buildPanel(catalog) {
  const showAll = new URLSearchParams(location.search).get('show') === 'all';
  const container = document.getElementById('services');
  for (const service of catalog.services) {
    const section = element('section', { class: 'service' },
      element('h2', {}, `${kindNames[service.kind] || service.kind} ${service.version}`),
      element('div', { class: 'meta' }, `${service.engine} \u00b7 ${service.url}`));
    for (const dataset of service.datasets) section.append(datasetBox(service, dataset, showAll));
    container.append(section);
  }
  const count = catalog.services.reduce((n, s) => n + s.datasets.length, 0);
  document.getElementById('summary').textContent =
    `${catalog.services.length} service(s), ${count} dataset(s); map in ${catalog.mapCrs}.`;
}

// --- The status line ---------------------------------------------------------

let statusTimer = null;
async function refreshStatus() {
  try {
    const status = await getJson('/api/status');
    document.getElementById('status-operation').textContent =
      status.lastOperation ? `Last: ${status.lastOperation}; ${status.requests} request(s) so far.`
                           : `${status.requests} request(s) so far.`;
    document.getElementById('status-codes').textContent =
      status.codes.length ? `Log codes: ${status.codes.join(', ')}` : '';
    const downloads = document.getElementById('status-downloads');
    downloads.replaceChildren(...status.downloads.map(d => element('div', {},
      d.total > 0 ? element('progress', { max: d.total, value: d.received }) : null,
      ` ${Math.round(d.received / 1024)} KiB ${d.url.replace(/\?.*/, '')}`)));
    clearTimeout(statusTimer);
    if (status.downloads.length) statusTimer = setTimeout(refreshStatus, 500);
  } catch (error) {
    document.getElementById('status-operation').textContent = `The viewer does not answer: ${error.message}`;
  }
}

// --- Start -------------------------------------------------------------------

// Where the data is: every dataset but tile layers, which tend to span the
// world; theirs when nothing else has bounds.
function mapBounds(catalog, tiles) {
  let bounds = null;
  for (const service of catalog.services) for (const d of service.datasets) {
    if (!d.lonLatBounds || (d.kind === 'tiles') !== tiles) continue;
    const b = L.latLngBounds([d.lonLatBounds[1], d.lonLatBounds[0]], [d.lonLatBounds[3], d.lonLatBounds[2]]);
    bounds = bounds ? bounds.extend(b) : b;
  }
  return bounds || (tiles ? null : mapBounds(catalog, true));
}

async function start() {
  try {
    const catalog = await getJson('/api/services');
    viewer.catalog = catalog;
    viewer.crs = catalog.mapCrs === 'EPSG:4326' ? L.CRS.EPSG4326 : L.CRS.EPSG3857;
    viewer.map = L.map('map', { crs: viewer.crs, zoomSnap: 0.25 });
    [['tiles', 200], ['coverages', 350], ['maps', 400], ['features', 450]].forEach(([name, z]) => {
      viewer.map.createPane(name).style.zIndex = z;
    });
    const bounds = mapBounds(catalog, false);
    if (bounds) viewer.map.fitBounds(bounds); else viewer.map.setView([0, 0], 2);
    viewer.map.on('click', featureInfo);
    buildPanel(catalog);
    viewer.ready = true;
    refreshStatus();
  } catch (error) {
    document.getElementById('summary').textContent = `The viewer cannot list its services: ${error.message}`;
  }
}

start();
