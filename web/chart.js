// Small time charts drawn on a canvas: the last minute, time on x, value on y, with the range
// and three time marks labelled. No library: two kinds of chart do not justify one.

export const palette = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b',
                        '#e377c2', '#17becf', '#7f7f7f', '#bcbd22'];

const margin = { left: 56, right: 10, top: 8, bottom: 20 };

function prepare(canvas) {
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    const pixelWidth = Math.round(width * ratio);
    const pixelHeight = Math.round(height * ratio);
    if (canvas.width !== pixelWidth || canvas.height !== pixelHeight) {
        canvas.width = pixelWidth;
        canvas.height = pixelHeight;
    }
    const context = canvas.getContext('2d');
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    context.clearRect(0, 0, width, height);
    context.font = '11px system-ui, sans-serif';
    return { context, width, height };
}

function formatNumber(value) {
    if (Number.isInteger(value)) {
        return String(value);
    }
    return Math.abs(value) >= 1000 ? value.toFixed(0) : Number(value.toPrecision(4)).toString();
}

// Axes and labels; returns functions mapping time and value to pixels.
function frame(context, width, height, { low, high, from, to }) {
    if (low === high) {
        low -= 1;
        high += 1;
    }
    const plotWidth = width - margin.left - margin.right;
    const plotHeight = height - margin.top - margin.bottom;
    const x = (time) => margin.left + ((time - from) / (to - from)) * plotWidth;
    const y = (value) => margin.top + (1 - (value - low) / (high - low)) * plotHeight;

    context.strokeStyle = '#d0d4da';
    context.fillStyle = '#5a6270';
    context.lineWidth = 1;
    context.textBaseline = 'middle';
    context.textAlign = 'right';
    for (const value of [low, (low + high) / 2, high]) {
        const row = Math.round(y(value)) + 0.5;
        context.beginPath();
        context.moveTo(margin.left, row);
        context.lineTo(width - margin.right, row);
        context.stroke();
        context.fillText(formatNumber(value), margin.left - 6, row);
    }
    context.textBaseline = 'top';
    for (const [seconds, align] of [[60, 'left'], [30, 'center'], [0, 'right']]) {
        context.textAlign = align;
        context.fillText(seconds === 0 ? 'now' : `-${seconds} s`, x(to - seconds * 1000),
                         height - margin.bottom + 5);
    }
    return { x, y };
}

// One bar a second, the last at the right edge: requests per second over the last minute.
export function drawBars(canvas, counts) {
    const { context, width, height } = prepare(canvas);
    const to = 60000;
    // An even top keeps the middle line on a whole number of requests.
    const high = Math.max(2, Math.ceil(Math.max(...counts) / 2) * 2);
    const { x, y } = frame(context, width, height, { low: 0, high, from: 0, to });
    context.fillStyle = palette[0];
    const barWidth = Math.max(1, x(1000) - x(0) - 1);
    counts.forEach((count, index) => {
        const left = x(to - (counts.length - index) * 1000);
        context.fillRect(left, y(count), barWidth, y(0) - y(count));
    });
}

// Step lines: each series holds [time in ms, value] samples taken when the value changed, so a
// value holds until the next sample, and the last one until now.
export function drawSteps(canvas, series, now) {
    const { context, width, height } = prepare(canvas);
    const from = now - 60000;
    const values = series.flatMap((line) => line.points.map(([, value]) => value));
    if (values.length === 0) {
        context.fillStyle = '#5a6270';
        context.textAlign = 'center';
        context.fillText('Tick "plot" on numeric rows to draw them here', width / 2, height / 2);
        return;
    }
    const { x, y } = frame(context, width, height,
                           { low: Math.min(...values), high: Math.max(...values), from, to: now });
    context.lineWidth = 1.5;
    for (const line of series) {
        context.strokeStyle = line.color;
        context.beginPath();
        line.points.forEach(([time, value], index) => {
            const left = x(Math.max(time, from));
            if (index === 0) {
                context.moveTo(left, y(value));
            } else {
                context.lineTo(left, y(line.points[index - 1][1]));
                context.lineTo(left, y(value));
            }
        });
        const last = line.points[line.points.length - 1];
        if (last) {
            context.lineTo(x(now), y(last[1]));
        }
        context.stroke();
    }
}
