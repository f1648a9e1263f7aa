/*
 * kelvo.js - the thermostat page: kelvo's values and the day's chart
 * from kelvo-web's API, kept live by an event stream.
 *
 * Every value shown is what kelvo last published: a press changes nothing
 * on the page until kelvo shows it, so the page never claims a setting
 * kelvo does not have.  The chart keeps one point per simulated minute,
 * like the history kelvo-web serves, and is redrawn at most twice a
 * second however fast kelvo publishes.
 *
 * The simulation section follows the sim events the same way: a control
 * changed by hand is set back to what kelvo last reported at once, and
 * moves only when kelvo reports the change.  kelvo's refusal of a change
 * is said beside the control that made it.  A field shows kelvo's value,
 * so taking focus selects it: what is typed replaces it.
 *
 * A modern thermostat (kelvo's state has the band, the preset and the
 * humidity; a classic one has them null) adds the humidity and the call,
 * the presets, and in AUTO the band on a scale in place of the one set
 * point.  An end moved on the page is shown where it was asked for, dimmed,
 * until kelvo shows it; kelvo's refusal is said in the toast and the band
 * goes back to kelvo's own.  The page pushes the other end as kelvo would,
 * so that the band it asks for is the one a press of kelvo's would give,
 * and leaves the limits to kelvo, whose words say why.
 */
'use strict';

(function () {
	const DAY = 1440;		// minutes in the simulated day
	const HOUR = 60;
	const STEP_MAX = 180;		// a bigger jump of the clock: a new start
	const RETRY_MS = 3000;		// before opening a refused stream again
	const DRAW_MS = 500;
	const DASH = '–';
	const SAY_MS = 3000;		// a toast's time on the page
	const REFUSED_MS = 8000;	// kelvo's words: time to read them
	const PENDING_MS = 1500;	// a change asked for, until kelvo shows it
	const SCALE_MIN = 60;		// kelvo's limits for the band's ends
	const SCALE_MAX = 90;
	const DEADBAND = 3;		// the band's least width
	const PRESETS = ['home', 'away', 'sleep'];

	const $ = (id) => document.getElementById(id);

	let connected = null;		// the stream: open, lost, not yet known
	let running = null;		// kelvo, as kelvo-web last said
	let last = null;		// the latest sample, for a history reload
	let chart = null;
	let drawTimer = null;
	let toastTimer = null;
	let pendingTimer = null;
	let shownSetpoint = null;
	let sim = null;			// the sim object, as kelvo-web last said
	let clock = null;		// td_time_ and outdoor, for the inputs
	let series = empty();
	let modeTitle = null;		// the mode button's title in classic
	let band = null;		// kelvo's band, { low, high }, or none
	let indoorNow = null;
	let wantBand = null;		// the band asked for, shown until kelvo's
	let bandBusy = false;		// a PUT /api/range on its way
	let bandNext = null;		// the band to ask for after it
	let bandTimer = null;
	let drag = null;		// { end, from, band, pointer } in a drag

	function empty() {
		return { minute: [], abs: [], labels: [], indoor: [],
		    outdoor: [], setpoint: [], high: [], low: [] };
	}

	// A unit right after a value goes with it: no degree beside a dash.
	function put(id, value) {
		const el = $(id);
		const s = String(value);
		if (el.textContent !== s)
			el.textContent = s;
		const unit = el.nextElementSibling;
		if (unit !== null && unit.classList.contains('unit'))
			unit.classList.toggle('none', s === DASH);
	}

	function isNum(v) {
		return typeof v === 'number' && isFinite(v);
	}

	function fixed1(v) {
		return isNum(v) ? v.toFixed(1) : DASH;
	}

	// "HH:MM" of a minute of the day (kelvo-web reads td_time_ for us).
	function hhmmOf(minute) {
		const pad = (n) => String(n).padStart(2, '0');
		return pad(Math.floor(minute / 60)) + ':' + pad(minute % 60);
	}

	// The minute of the day kelvo-web gives, -1 when there is none.
	function minuteOf(s) {
		return Number.isInteger(s.minute) && s.minute >= 0 &&
		    s.minute < DAY ? s.minute : -1;
	}

	function notice() {
		let msg = '';
		if (connected === false)
			msg = 'No connection to kelvo-web: reconnecting…';
		else if (running === false)
			msg = 'kelvo is not running: the values shown are ' +
			    'the last it published.';
		const el = $('status');
		put('status', msg);
		el.hidden = msg === '';
		document.body.classList.toggle('stale', msg !== '');
	}

	function toast(msg, ms) {
		put('toast', msg);
		clearTimeout(toastTimer);
		toastTimer = setTimeout(() => put('toast', ''), ms || SAY_MS);
	}

	function show(st) {
		const indoor = isNum(st.td_temp_in_) ? st.td_temp_in_ : st.td_temp_in;
		const outdoor = isNum(st.td_temp_out_) ? st.td_temp_out_ :
		    st.td_temp_out;
		// The plant and the clock as kelvo-web derives them for every face.
		const plant = typeof st.plant === 'string' ? st.plant : DASH;
		const sp = Number.isInteger(st.ts_temp) ? st.ts_temp : null;

		put('indoor', fixed1(indoor));
		put('setpoint', sp === null ? DASH : sp);
		put('mode', st.ts_mode || DASH);
		put('fan', st.ts_fan || DASH);
		put('plant', plant);
		put('time', st.clock || DASH);
		put('outdoor', fixed1(outdoor));
		document.body.dataset.plant = plant;
		document.body.dataset.mode = (st.ts_mode || '').toLowerCase();
		document.title = isNum(indoor) ? indoor.toFixed(1) + '° · kelvo' :
		    'kelvo';
		if (sp !== shownSetpoint) {
			shownSetpoint = sp;
			$('setpoint').closest('.setpoint').classList.remove('pending');
		}

		clock = { minute: minuteOf(st), outdoor: outdoor };
		showSimInputs();
		indoorNow = isNum(indoor) ? indoor : null;
		showModern(st);

		last = { minute: st.minute, td_temp_in_: indoor,
		    td_temp_out_: outdoor, ts_temp: st.ts_temp };
		add(last);
		scheduleDraw();
	}

	// One sample of /api/history's shape into the chart's series.
	function add(s) {
		const m = minuteOf(s);
		if (m < 0)
			return;
		const n = series.minute.length;
		let abs = m;
		if (n > 0) {
			const d = (m - series.minute[n - 1] + DAY) % DAY;
			if (d === 0) {
				// Another text in the same minute: the newer wins.
				abs = series.abs[n - 1];
				for (const k of Object.keys(series))
					series[k].pop();
			} else if (d > STEP_MAX) {
				restarted(series.labels[n - 1], hhmmOf(m));
				series = empty();
			} else
				abs = series.abs[n - 1] + d;
		}
		const sp = isNum(s.ts_temp) ? s.ts_temp : null;
		series.minute.push(m);
		series.abs.push(abs);
		series.labels.push(hhmmOf(m));
		series.indoor.push(isNum(s.td_temp_in_) ? s.td_temp_in_ : null);
		series.outdoor.push(isNum(s.td_temp_out_) ? s.td_temp_out_ : null);
		series.setpoint.push(sp);
		series.high.push(sp === null ? null : sp + 1);
		series.low.push(sp === null ? null : sp - 1);
		while (series.abs.length > 0 && abs - series.abs[0] >= DAY)
			for (const k of Object.keys(series))
				series[k].shift();
	}

	// Says why the chart starts over: kelvo-web's history does too.
	function restarted(from, to) {
		put('history-note', 'The clock went from ' + from + ' to ' +
		    to + ', more than ' +
		    STEP_MAX / 60 + ' hours on: the day is charted afresh ' +
		    'from there, as kelvo-web keeps it.');
	}

	function makeChart() {
		if (typeof window.Chart !== 'function')
			return null;	// the values still work without it
		const css = getComputedStyle(document.documentElement);
		const color = (name) => css.getPropertyValue(name).trim();
		const line = (label, key, extra) => Object.assign({
			label: label, data: [], pointRadius: 0, pointHitRadius: 6,
			borderColor: color(key), backgroundColor: color(key),
			borderWidth: 2,
		}, extra);
		const band = (fill) => ({ label: 'band', data: [], pointRadius: 0,
		    borderWidth: 0, stepped: true, fill: fill,
		    backgroundColor: color('--sp-band') });

		return new window.Chart($('chart'), {
			type: 'line',
			data: { labels: [], datasets: [
				band('+1'),
				band(false),
				line('Set point ±1', '--sp', { stepped: true,
				    borderWidth: 1.5, borderDash: [6, 4] }),
				line('Indoor', '--in', { borderWidth: 2.5,
				    tension: 0.3 }),
				line('Outdoor', '--out', { tension: 0.3 }),
			] },
			options: {
				animation: false,
				responsive: true,
				maintainAspectRatio: false,
				interaction: { mode: 'index', intersect: false },
				scales: {
					x: { ticks: { color: color('--muted'),
					    maxRotation: 0, autoSkipPadding: 16 },
					    grid: { color: color('--line') } },
					y: { grace: 1, ticks: { color: color('--muted'),
					    callback: (v) => v + '°' },
					    grid: { color: color('--line') } },
				},
				plugins: {
					legend: { labels: { color: color('--text'),
					    boxWidth: 14, boxHeight: 2,
					    filter: (item) => item.text !== 'band' } },
					tooltip: {
						filter: (item) =>
						    item.dataset.label !== 'band',
						callbacks: { label: (ctx) =>
						    ctx.dataset.label.replace(' ±1', '') +
						    ': ' + ctx.parsed.y.toFixed(1) + '°' },
					},
				},
			},
		});
	}

	function draw() {
		drawTimer = null;
		if (chart === null)
			return;
		const ds = chart.data.datasets;
		chart.data.labels = series.labels.slice();
		ds[0].data = series.high.slice();
		ds[1].data = series.low.slice();
		ds[2].data = series.setpoint.slice();
		ds[3].data = series.indoor.slice();
		ds[4].data = series.outdoor.slice();
		chart.update('none');
	}

	function scheduleDraw() {
		if (drawTimer === null)
			drawTimer = setTimeout(draw, DRAW_MS);
	}

	async function loadHistory() {
		try {
			const r = await fetch('/api/history', { cache: 'no-store' });
			if (!r.ok)
				return;
			const samples = await r.json();
			if (!Array.isArray(samples))
				return;
			series = empty();
			for (const s of samples)
				if (s !== null && typeof s === 'object')
					add(s);
			if (last !== null)
				add(last);
			scheduleDraw();
		} catch (e) {
			// The stream's own error handling says what is wrong.
		}
	}

	async function press(button) {
		const el = $('btn-' + button);
		el.classList.add('hit');
		setTimeout(() => el.classList.remove('hit'), 120);
		if (button === 'up' || button === 'down') {
			$('setpoint').closest('.setpoint').classList.add('pending');
			clearTimeout(pendingTimer);
			pendingTimer = setTimeout(() => $('setpoint')
			    .closest('.setpoint').classList.remove('pending'), 1500);
		}
		try {
			const r = await fetch('/api/press/' + button, {
				method: 'POST',
				headers: { 'Content-Type': 'application/json' },
				body: '{}',
				cache: 'no-store',
			});
			if (r.status === 503) {
				running = false;
				notice();
			} else if (r.status === 429)
				toast('Too many presses at once: some were dropped.');
			else if (!r.ok)
				toast('The press was refused (' + r.status + ').');
		} catch (e) {
			toast('kelvo-web cannot be reached.');
		}
	}

	// Whether a state is a modern thermostat's: a classic one has the
	// modern values null, and every one of them is kelvo's to give.
	function isModern(st) {
		return Number.isInteger(st.ts_temp_low) ||
		    Number.isInteger(st.ts_temp_high) ||
		    typeof st.ts_preset === 'string' ||
		    typeof st.td_call === 'string' || isNum(st.td_humidity_);
	}

	function showModern(st) {
		const modern = isModern(st);
		const auto = modern && st.ts_mode === 'AUTO';
		document.body.dataset.profile = modern ? 'modern' : 'classic';
		for (const el of document.querySelectorAll('.modern'))
			el.hidden = !modern;
		$('range').hidden = !auto;
		document.querySelector('.target').hidden = auto;
		if (modeTitle === null)
			modeTitle = $('btn-mode').title;
		$('btn-mode').title = modern ?
		    'Mode: OFF, HEAT, COOL, AUTO (m)' : modeTitle;
		if (!modern) {
			// Nothing asked for is kept: classic has no band.
			band = wantBand = bandNext = drag = null;
			return;
		}
		put('humidity', Number.isInteger(st.td_humidity) ?
		    st.td_humidity : DASH);
		put('call', typeof st.td_call === 'string' ? st.td_call : DASH);
		for (const p of PRESETS)
			$('btn-preset-' + p).setAttribute('aria-pressed',
			    String(st.ts_preset === p));
		band = Number.isInteger(st.ts_temp_low) &&
		    Number.isInteger(st.ts_temp_high) ?
		    { low: st.ts_temp_low, high: st.ts_temp_high } : null;
		if (wantBand !== null && !bandBusy && sameBand(wantBand, band))
			wantBand = null;
		showBand();
	}

	function sameBand(a, b) {
		return a !== null && b !== null && a.low === b.low &&
		    a.high === b.high;
	}

	// Where a value sits on the scale, as a share of its width.
	function onScale(v) {
		const c = Math.min(Math.max(v, SCALE_MIN), SCALE_MAX);
		return (c - SCALE_MIN) / (SCALE_MAX - SCALE_MIN) * 100;
	}

	// The band asked for (or being dragged) while there is one, else kelvo's.
	function showBand() {
		const b = drag !== null ? drag.band : wantBand !== null ?
		    wantBand : band;
		$('range').classList.toggle('pending', b !== band);
		for (const end of ['low', 'high']) {
			const v = b === null ? null : b[end];
			const thumb = $('thumb-' + end);
			put('temp-' + end, v === null ? DASH : v);
			thumb.hidden = v === null;
			if (v === null)
				continue;
			thumb.style.left = onScale(v) + '%';
			thumb.setAttribute('aria-valuenow', String(v));
			thumb.setAttribute('aria-valuetext', v + '°');
		}
		const bar = $('band');
		bar.hidden = b === null;
		if (b !== null) {
			bar.style.left = onScale(b.low) + '%';
			bar.style.width = onScale(b.high) - onScale(b.low) + '%';
		}
		const mark = $('indoor-mark');
		mark.hidden = indoorNow === null;
		if (indoorNow !== null)
			mark.style.left = onScale(indoorNow) + '%';
	}

	/*
	 * One end set to v, the other pushed as kelvo pushes it to keep the
	 * deadband; past the limits too, for kelvo to refuse in its words.
	 */
	function pushed(from, end, v) {
		if (end === 'low')
			return { low: v, high: Math.max(from.high, v + DEADBAND) };
		return { low: Math.min(from.low, v - DEADBAND), high: v };
	}

	function moveEnd(end, to) {
		const from = wantBand !== null ? wantBand : band;
		if (from === null)
			return;
		const v = to(from[end]);
		if (v !== from[end])
			askBand(pushed(from, end, v));
	}

	// Ask for a band, one request at a time: the latest waits its turn.
	function askBand(b) {
		wantBand = b;
		showBand();
		if (bandBusy)
			bandNext = b;
		else
			sendBand(b);
	}

	async function sendBand(b) {
		bandBusy = true;
		const why = await ask('/api/range', 'PUT', b);
		bandBusy = false;
		if (why !== null) {
			toast(why, REFUSED_MS);
			wantBand = bandNext = null;
			showBand();
			return;
		}
		if (bandNext !== null) {
			const next = bandNext;
			bandNext = null;
			sendBand(next);
			return;
		}
		if (sameBand(wantBand, band))
			wantBand = null;
		showBand();
		// Somebody else's change may have come first: kelvo's band then.
		clearTimeout(bandTimer);
		bandTimer = setTimeout(() => {
			if (!bandBusy) {
				wantBand = null;
				showBand();
			}
		}, PENDING_MS);
	}

	// The value under a pointer at x on the scale, whole degrees.
	function valueAt(x) {
		const r = $('track').getBoundingClientRect();
		const share = r.width > 0 ? (x - r.left) / r.width : 0;
		const v = SCALE_MIN + share * (SCALE_MAX - SCALE_MIN);
		return Math.min(Math.max(Math.round(v), SCALE_MIN), SCALE_MAX);
	}

	// A drag takes the end it starts on, or the one nearer on the track.
	function dragStart(e) {
		const from = wantBand !== null ? wantBand : band;
		if (from === null || e.button !== 0 || drag !== null)
			return;
		const v = valueAt(e.clientX);
		let end = e.target.id === 'thumb-low' ? 'low' :
		    e.target.id === 'thumb-high' ? 'high' :
		    Math.abs(v - from.low) <= Math.abs(v - from.high) ? 'low' :
		    'high';
		e.preventDefault();
		$('thumb-' + end).focus();
		$('track').setPointerCapture(e.pointerId);
		drag = { end: end, from: from, pointer: e.pointerId,
		    band: pushed(from, end, v) };
		showBand();
	}

	function dragMove(e) {
		if (drag === null || e.pointerId !== drag.pointer)
			return;
		drag.band = pushed(drag.from, drag.end, valueAt(e.clientX));
		showBand();
	}

	function dragEnd(e) {
		if (drag === null || e.pointerId !== drag.pointer)
			return;
		const b = drag.band, from = drag.from;
		drag = null;
		if (e.type === 'pointerup' && !sameBand(b, from))
			askBand(b);
		else
			showBand();
	}

	const THUMB_KEYS = {
		'ArrowUp': (v) => v + 1, 'ArrowRight': (v) => v + 1,
		'ArrowDown': (v) => v - 1, 'ArrowLeft': (v) => v - 1,
		'PageUp': (v) => v + 5, 'PageDown': (v) => v - 5,
		'Home': () => SCALE_MIN, 'End': () => SCALE_MAX,
	};

	async function choosePreset(name) {
		const why = await ask('/api/preset', 'PUT', { preset: name });
		if (why !== null)
			toast(why, REFUSED_MS);
	}

	function startModern() {
		for (const end of ['low', 'high']) {
			$('btn-' + end + '-up').addEventListener('click', () =>
			    moveEnd(end, (v) => v + 1));
			$('btn-' + end + '-down').addEventListener('click', () =>
			    moveEnd(end, (v) => v - 1));
			// The arrows move this end, not the whole band.
			$('thumb-' + end).addEventListener('keydown', (e) => {
				const to = THUMB_KEYS[e.key];
				if (to === undefined || e.ctrlKey || e.altKey ||
				    e.metaKey)
					return;
				e.preventDefault();
				e.stopPropagation();
				moveEnd(end, to);
			});
		}
		const track = $('track');
		track.addEventListener('pointerdown', dragStart);
		track.addEventListener('pointermove', dragMove);
		track.addEventListener('pointerup', dragEnd);
		// Also when the band is hidden under the pointer: no change.
		track.addEventListener('lostpointercapture', dragEnd);
		for (const p of PRESETS)
			$('btn-preset-' + p).addEventListener('click', () =>
			    choosePreset(p));
	}

	const FAULTS = ['plant', 'sensor', 'silent'];

	// Values an input shows, unless the user is typing in it.
	function showSimInputs() {
		const t = $('sim-time'), o = $('sim-outdoor');
		if (clock === null)
			return;
		if (document.activeElement !== t && clock.minute >= 0)
			t.value = hhmmOf(clock.minute);
		if (document.activeElement !== o && isNum(clock.outdoor))
			o.value = clock.outdoor.toFixed(1);
	}

	function showSim() {
		const paused = sim !== null && sim.state === 'paused';
		put('sim-state', sim === null ? DASH : sim.state);
		put('btn-pause', paused ? 'Resume' : 'Pause');
		put('btn-step-hour', hourLabel());
		$('clock-paused').hidden = !paused;
		const speed = sim !== null && Number.isInteger(sim.pm_minutes) ?
		    String(sim.pm_minutes) : '';
		const sel = $('sim-speed');
		let known = false;
		for (const o of sel.options)
			known = known || o.value === speed;
		if (!known && speed !== '') {
			const o = document.createElement('option');
			o.value = speed;
			o.textContent = speed + ' min a tick';
			sel.appendChild(o);
		}
		sel.value = speed;
		for (const f of FAULTS)
			$('fault-' + f).checked = sim !== null &&
			    Array.isArray(sim.fault) && sim.fault.includes(f);
		document.body.classList.toggle('paused', paused);
	}

	// kelvo's word on a control, said beside it ('' clears it).
	function say(where, msg) {
		put(where.msg, msg);
		if (where.input !== null)
			$(where.input).setAttribute('aria-invalid',
			    msg === '' ? 'false' : 'true');
	}

	/*
	 * One batch; the answer is shown by the sim and state events.  What
	 * comes back is null when it was taken, else the words of its refusal.
	 */
	async function ask(path, method, body) {
		try {
			const r = await fetch(path, {
				method: method,
				headers: { 'Content-Type': 'application/json' },
				body: JSON.stringify(body),
				cache: 'no-store',
			});
			if (r.ok)
				return null;
			let why = 'refused (' + r.status + ')';
			try {
				const j = await r.json();
				if (j !== null && typeof j.error === 'string')
					why = j.error;
			} catch (e) {
				// The status says enough.
			}
			return 'kelvo: ' + why;
		} catch (e) {
			return 'kelvo-web cannot be reached.';
		}
	}

	// A batch of the simulation section, refused at where: { msg, input }.
	async function control(path, method, body, where) {
		say(where, '');
		const why = await ask(path, method, body);
		if (why !== null)
			say(where, why);
	}

	const RUN = { msg: 'sim-run-msg', input: null };
	const FAULT = { msg: 'sim-fault-msg', input: null };
	const field = (id) => ({ msg: id + '-msg', input: id });

	function setSim(commands, where) {
		showSim();
		showSimInputs();
		control('/api/sim', 'PUT', commands, where);
	}

	// Minutes a tick; kelvo's default while the page knows nothing yet.
	function tickMinutes() {
		return sim !== null && Number.isInteger(sim.pm_minutes) ?
		    sim.pm_minutes : 2;
	}

	// What the hour and day buttons step, in whole ticks: kelvo-web
	// gives them by the rule Home Assistant's hour button follows too.
	function ticksFor(minutes) {
		const t = sim === null ? null :
		    minutes === DAY ? sim.day_ticks : sim.hour_ticks;
		return Number.isInteger(t) && t > 0 ? t : null;
	}

	// The hour button named for what it steps when that is not an hour.
	function hourLabel() {
		const ticks = ticksFor(HOUR);
		const m = ticks === null ? HOUR : tickMinutes() * ticks;
		if (m === 60)
			return 'Step an hour';
		return m % 60 === 0 ? 'Step ' + m / 60 + ' hours' :
		    'Step ' + m + ' minutes';
	}

	function step(minutes) {
		const ticks = ticksFor(minutes);
		// Nothing to step by before kelvo-web has told the speed.
		if (ticks !== null)
			control('/api/sim/step', 'POST', { ticks: ticks }, RUN);
	}

	// Focus selects the value, also when a click gave it.
	function selectOnFocus(el) {
		let fresh = false;
		el.addEventListener('focus', () => {
			el.select();
			fresh = true;
		});
		el.addEventListener('mouseup', (e) => {
			if (fresh)
				e.preventDefault();
			fresh = false;
		});
	}

	function startSim() {
		$('btn-pause').addEventListener('click', () => setSim({
			state: sim !== null && sim.state === 'paused' ?
			    'running' : 'paused' }, RUN));
		$('btn-step-hour').addEventListener('click', () => step(HOUR));
		$('btn-step-day').addEventListener('click', () => step(DAY));
		$('sim-speed').addEventListener('change', (e) => {
			const m = Number(e.target.value);
			setSim({ pm_minutes: m }, field('sim-speed'));
		});
		$('sim-time').addEventListener('change', (e) => {
			const v = e.target.value.trim();
			const m = /^([01][0-9]|2[0-3]):?([0-5][0-9])$/.exec(v);
			e.target.blur();
			if (m === null) {
				say(field('sim-time'), 'The clock takes HH:MM, ' +
				    'from 00:00 to 23:59.');
				showSimInputs();
				return;
			}
			setSim({ td_time_: m[1] + m[2] }, field('sim-time'));
		});
		$('sim-outdoor').addEventListener('change', (e) => {
			const v = Number(e.target.value);
			e.target.blur();
			if (e.target.value === '' || !isFinite(v)) {
				say(field('sim-outdoor'), 'The outdoor temperature ' +
				    'takes a number of degrees.');
				showSimInputs();
				return;
			}
			setSim({ td_temp_out_: v }, field('sim-outdoor'));
		});
		for (const f of FAULTS)
			$('fault-' + f).addEventListener('change', () => {
				const want = FAULTS.filter((g) =>
				    $('fault-' + g).checked);
				setSim({ fault: want }, FAULT);
			});
		// The inputs take the keys typed into them, not the page.
		for (const id of ['sim-time', 'sim-outdoor', 'sim-speed'])
			$(id).addEventListener('keydown', (e) =>
			    e.stopPropagation());
		selectOnFocus($('sim-time'));
		selectOnFocus($('sim-outdoor'));
		showSim();
	}

	function listen() {
		const es = new EventSource('/api/events');
		const parse = (e) => {
			try {
				return JSON.parse(e.data);
			} catch (err) {
				return null;
			}
		};

		es.addEventListener('open', () => {
			connected = true;
			notice();
			loadHistory();
		});
		es.addEventListener('state', (e) => {
			const st = parse(e);
			if (st !== null && typeof st === 'object')
				show(st);
		});
		es.addEventListener('sim', (e) => {
			const s = parse(e);
			if (s !== null && typeof s === 'object') {
				sim = s;
				showSim();
			}
		});
		es.addEventListener('status', (e) => {
			const s = parse(e);
			if (s !== null && typeof s.running === 'boolean') {
				running = s.running;
				notice();
			}
		});
		es.addEventListener('error', () => {
			connected = false;
			notice();
			// A refused stream is not retried by the browser itself.
			if (es.readyState === EventSource.CLOSED) {
				es.close();
				setTimeout(listen, RETRY_MS);
			}
		});
	}

	const keys = {
		'+': 'up', '=': 'up', 'ArrowUp': 'up',
		'-': 'down', '_': 'down', '−': 'down', 'ArrowDown': 'down',
		'm': 'mode', 'M': 'mode', 'f': 'fan', 'F': 'fan',
	};

	function start() {
		// The cookie carries the token from now on: off the address bar.
		if (/[?&]token=/.test(location.search))
			history.replaceState(null, '', location.pathname);
		for (const b of ['mode', 'fan', 'up', 'down'])
			$('btn-' + b).addEventListener('click', () => press(b));
		document.addEventListener('keydown', (e) => {
			const b = keys[e.key];
			if (b === undefined || e.ctrlKey || e.altKey || e.metaKey ||
			    e.repeat)
				return;
			e.preventDefault();
			press(b);
		});
		chart = makeChart();
		startModern();
		startSim();
		listen();
	}

	start();
})();
