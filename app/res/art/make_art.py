#!/usr/bin/env python3
"""Writes the program's artwork (plain SVG, drawn on a 32 x 32 grid so that it is crisp at 100 %
and 200 %). Run it after changing a picture; the SVG files are committed."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

def svg(body, size=32, view=32):
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
            f'viewBox="0 0 {view} {view}">{body}</svg>\n')

def player(screen, body, accent, label):
    # A portable player seen from the front: body, screen, a wheel or buttons.
    return svg(f'''
<rect x="10" y="2" width="44" height="60" rx="9" fill="{body}" stroke="#222" stroke-width="1.5"/>
<rect x="15" y="7" width="34" height="22" rx="2" fill="{screen}" stroke="#111"/>
<text x="32" y="22" font-family="DejaVu Sans,Arial" font-size="7" font-weight="bold"
 text-anchor="middle" fill="#102030">{label}</text>
<circle cx="32" cy="45" r="11" fill="{accent}" stroke="#222"/>
<circle cx="32" cy="45" r="4" fill="{body}" stroke="#222"/>''', size=128, view=64)

def picture(width, height, body):
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}">{body}</svg>\n')

# Waves of sound drawn as rings around a point.
def rings(cx, cy, colour, count=5, step=26):
    return ''.join(f'<circle cx="{cx}" cy="{cy}" r="{step * (i + 1)}" fill="none" '
                   f'stroke="{colour}" stroke-opacity="{0.55 - i * 0.09:.2f}" stroke-width="3"/>'
                   for i in range(count))

ART = {
 # tool bar
 'toolbar/refresh': svg('''
<path d="M26 16a10 10 0 1 1-3-7.1" fill="none" stroke="#1f7a3a" stroke-width="3.2"
 stroke-linecap="round"/><path d="M19.5 4.5h8v8z" fill="#1f7a3a"/>'''),
 'toolbar/upload': svg('''
<rect x="4" y="22" width="24" height="6" rx="1.5" fill="#5b6f86"/>
<path d="M16 3l9 10h-5.5v8h-7v-8H7z" fill="#2c6fc2" stroke="#184a86" stroke-width="1"/>'''),
 'toolbar/download': svg('''
<rect x="4" y="22" width="24" height="6" rx="1.5" fill="#5b6f86"/>
<path d="M16 21l9-10h-5.5V3h-7v8H7z" fill="#2f9a4f" stroke="#1d6a34" stroke-width="1"/>'''),
 'toolbar/delete': svg('''
<path d="M7 7l18 18M25 7L7 25" stroke="#c62828" stroke-width="4.5" stroke-linecap="round"/>'''),
 'toolbar/rename': svg('''
<rect x="3" y="9" width="26" height="14" rx="2" fill="#fff" stroke="#445" stroke-width="1.5"/>
<path d="M7 19l3-7 3 7M8 17h4" fill="none" stroke="#223" stroke-width="1.5"/>
<path d="M17 12v8" stroke="#2c6fc2" stroke-width="2"/>'''),
 'toolbar/favorites': svg('''
<path d="M3 9h10l2 3h14v15H3z" fill="#e3b23c" stroke="#9a7315" stroke-width="1.2"/>
<path d="M20 13l1.9 3.9 4.3.6-3.1 3 .7 4.3-3.8-2-3.8 2 .7-4.3-3.1-3 4.3-.6z" fill="#c62828"/>'''),
 'toolbar/transfer': svg('''
<rect x="3" y="5" width="26" height="22" rx="2" fill="#f4f6fa" stroke="#445" stroke-width="1.5"/>
<rect x="6" y="10" width="20" height="4" fill="#ccd"/><rect x="6" y="10" width="13" height="4"
 fill="#2f9a4f"/><rect x="6" y="18" width="20" height="4" fill="#ccd"/>
<rect x="6" y="18" width="7" height="4" fill="#2c6fc2"/>'''),
 'toolbar/option': svg('''
<g fill="#596b80"><circle cx="16" cy="16" r="8"/>
<rect x="14" y="2" width="4" height="28" rx="1"/><rect x="2" y="14" width="28" height="4" rx="1"/>
<rect x="14" y="2" width="4" height="28" rx="1" transform="rotate(45 16 16)"/>
<rect x="14" y="2" width="4" height="28" rx="1" transform="rotate(-45 16 16)"/></g>
<circle cx="16" cy="16" r="3.5" fill="#fff"/>'''),
 'toolbar/home': svg('''
<path d="M16 4L3 15h4v13h7v-8h4v8h7V15h4z" fill="#2c6fc2" stroke="#184a86" stroke-width="1"/>'''),
 'toolbar/help': svg('''
<circle cx="16" cy="16" r="13" fill="#2c6fc2"/>
<path d="M11.5 12.5a4.5 4.5 0 1 1 6.5 4c-1.5.8-2 1.6-2 3.2" fill="none" stroke="#fff"
 stroke-width="3" stroke-linecap="round"/><circle cx="16" cy="24.5" r="1.9" fill="#fff"/>'''),
 'toolbar/about': svg('''
<circle cx="16" cy="16" r="13" fill="#1f7a3a"/><circle cx="16" cy="9" r="2.2" fill="#fff"/>
<rect x="14" y="13" width="4" height="12" rx="1" fill="#fff"/>'''),
 # file types (drawn at 16 and scaled)
 'type/common': svg('''
<path d="M6 2h14l6 6v22H6z" fill="#fafafa" stroke="#667" stroke-width="1.5"/>
<path d="M20 2v6h6" fill="none" stroke="#667" stroke-width="1.5"/>'''),
 'type/mp3': svg('''
<path d="M6 2h14l6 6v22H6z" fill="#eaf4ff" stroke="#2c6fc2" stroke-width="1.5"/>
<path d="M13 23V11l9-2v12" fill="none" stroke="#184a86" stroke-width="2"/>
<circle cx="11" cy="23" r="3" fill="#184a86"/><circle cx="20" cy="21" r="3" fill="#184a86"/>'''),
 'type/wma': svg('''
<path d="M6 2h14l6 6v22H6z" fill="#fff4e6" stroke="#c66a00" stroke-width="1.5"/>
<path d="M10 12h12v10H10z" fill="#c66a00"/><path d="M14 14l5 3-5 3z" fill="#fff"/>'''),
 'type/voice': svg('''
<path d="M6 2h14l6 6v22H6z" fill="#eefaf0" stroke="#1f7a3a" stroke-width="1.5"/>
<rect x="13" y="9" width="6" height="11" rx="3" fill="#1f7a3a"/>
<path d="M10 16a6 6 0 0 0 12 0M16 22v4" fill="none" stroke="#1f7a3a" stroke-width="1.8"/>'''),
 # connection indicator
 'status/connected': svg('<circle cx="16" cy="16" r="13" fill="#22a447" stroke="#0d5a22" '
                         'stroke-width="3"/><circle cx="12" cy="11" r="4" fill="#9be3ad"/>'),
 'status/disconnected': svg('<circle cx="16" cy="16" r="13" fill="#b8b8b8" stroke="#6b6b6b" '
                            'stroke-width="3"/><path d="M10 10l12 12M22 10L10 22" '
                            'stroke="#c62828" stroke-width="3.5"/>'),
 # caption icons
 'caption/flash': svg('''
<rect x="5" y="6" width="22" height="20" rx="2" fill="#2d3e50" stroke="#fff" stroke-width="1.2"/>
<g fill="#d9c06a"><rect x="2" y="9" width="3" height="2"/><rect x="2" y="15" width="3" height="2"/>
<rect x="2" y="21" width="3" height="2"/><rect x="27" y="9" width="3" height="2"/>
<rect x="27" y="15" width="3" height="2"/><rect x="27" y="21" width="3" height="2"/></g>
<circle cx="10" cy="11" r="1.6" fill="#fff"/>'''),
 'caption/card': svg('''
<path d="M7 3h14l5 5v21H7z" fill="#2d3e50" stroke="#fff" stroke-width="1.2"/>
<g fill="#d9c06a"><rect x="10" y="5" width="2" height="5"/><rect x="13.5" y="5" width="2" height="5"/>
<rect x="17" y="5" width="2" height="5"/></g>
<rect x="10" y="16" width="12" height="9" rx="1" fill="#e8eef4"/>'''),
 'app/tunara': svg('''
<rect x="2" y="2" width="28" height="28" rx="6" fill="#1f7a3a"/>
<path d="M13 23V10l10-2v13" fill="none" stroke="#fff" stroke-width="2.4"/>
<circle cx="11" cy="23" r="3.2" fill="#fff"/><circle cx="21" cy="21" r="3.2" fill="#fff"/>'''),
 # splash window and About box (the lower right stays dark: the version is written there)
 'splash/splash': picture(420, 260, f'''
<defs><linearGradient id="bg" x1="0" y1="0" x2="1" y2="1">
<stop offset="0" stop-color="#1f7a3a"/><stop offset="0.55" stop-color="#13402a"/>
<stop offset="1" stop-color="#0b1a14"/></linearGradient></defs>
<rect width="420" height="260" fill="url(#bg)"/>
{rings(120, 100, "#9be3ad")}
<circle cx="120" cy="100" r="44" fill="#fff"/>
<path d="M110 122V80l28-6v40" fill="none" stroke="#1f7a3a" stroke-width="6"/>
<circle cx="104" cy="122" r="9" fill="#1f7a3a"/><circle cx="132" cy="116" r="9" fill="#1f7a3a"/>
<text x="300" y="112" font-family="DejaVu Sans,Arial" font-size="44" font-weight="bold"
 text-anchor="middle" fill="#ffffff" letter-spacing="3">TUNARA</text>
<text x="300" y="140" font-family="DejaVu Sans,Arial" font-size="14" text-anchor="middle"
 fill="#cfeedd">music to your player</text>
<rect x="230" y="154" width="140" height="3" rx="1.5" fill="#9be3ad"/>'''),
 # the hidden credits
 'splash/credits': picture(360, 300, f'''
<defs><radialGradient id="glow" cx="0.5" cy="0.4" r="0.7">
<stop offset="0" stop-color="#2c6fc2"/><stop offset="1" stop-color="#0a1424"/></radialGradient></defs>
<rect width="360" height="300" fill="url(#glow)"/>
{rings(180, 120, "#a8e0ff", count=6, step=22)}
<g fill="#e3b23c"><path d="M60 40l4 9 10 1-7 7 2 10-9-5-9 5 2-10-7-7 10-1z"/>
<path d="M300 60l3 7 8 1-6 5 2 8-7-4-7 4 2-8-6-5 8-1z"/>
<path d="M290 240l3 7 8 1-6 5 2 8-7-4-7 4 2-8-6-5 8-1z"/>
<path d="M70 230l3 7 8 1-6 5 2 8-7-4-7 4 2-8-6-5 8-1z"/></g>'''),
 # device pictures per model
 'device/luma': player('#a8e0ff', '#d9dde3', '#7d8ba0', 'LUMA'),
 'device/qn500': player('#b9f0c4', '#30343a', '#5f6670', 'QN500'),
 'device/qn520': player('#b9f0c4', '#1d4e89', '#3d78c0', 'QN520'),
 'device/qn70': player('#ffe3a3', '#8a1c1c', '#c24545', 'QN70'),
 'device/qnvela': player('#e0d4ff', '#f2f2f2', '#9c8ad0', 'Vela'),
 # the reorder cursor of the memory lists: an arrow (hot spot at its tip) over three rows, the
 # middle one lifted where the dragged rows will stand
 'cursor/reorder': svg('''
<path d="M1 1v17l4.5-4.2 3 6.6 2.6-1.2-3-6.5H14z" fill="#fff" stroke="#000" stroke-width="1.2"
 stroke-linejoin="round"/>
<rect x="14" y="17" width="16" height="3" fill="#8090a0"/>
<rect x="12" y="22" width="18" height="4" fill="#2c6fc2" stroke="#184a86" stroke-width="1"/>
<rect x="14" y="28" width="16" height="3" fill="#8090a0"/>'''),
}

# Transfer queue states (icon index: 0-3 waiting, 4-7 done, 8-11 failed by kind, 12 running,
# 13 refused), drawn for 16 pixels: a direction arrow in the memory's colour (flash blue, card
# orange; down = to the player, up = to the PC) with a state mark.
def queue_icon(kind, mark):
    colour = '#2c6fc2' if kind in (0, 1) else '#d9822b'
    arrow = ('M16 26l9-10h-5.5V5h-7v11H7z' if kind in (0, 2) else 'M16 5l9 10h-5.5v11h-7V15H7z')
    body = f'<path d="{arrow}" fill="{colour}" stroke="#223" stroke-width="1"/>'
    if mark == 'wait':
        body = f'<g opacity="0.55">{body}</g>'
    elif mark == 'done':
        body += ('<circle cx="24" cy="24" r="7" fill="#22a447" stroke="#0d5a22"/>'
                 '<path d="M20.5 24l2.5 2.5 4.5-5" fill="none" stroke="#fff" stroke-width="2"/>')
    elif mark == 'failed':
        body += ('<circle cx="24" cy="24" r="7" fill="#c62828" stroke="#6b0d0d"/>'
                 '<path d="M21 21l6 6M27 21l-6 6" stroke="#fff" stroke-width="2"/>')
    return svg(body)

for i in range(4):
    ART[f'queue/{i:02d}'] = queue_icon(i, 'wait')
    ART[f'queue/{4 + i:02d}'] = queue_icon(i, 'done')
    ART[f'queue/{8 + i:02d}'] = queue_icon(i, 'failed')
ART['queue/12'] = svg('<circle cx="16" cy="16" r="13" fill="#2c6fc2" stroke="#184a86" '
                      'stroke-width="2"/><path d="M12 9l11 7-11 7z" fill="#fff"/>')
ART['queue/13'] = svg('<circle cx="16" cy="16" r="12" fill="#fff" stroke="#8a8a8a" '
                      'stroke-width="3.5"/><path d="M7.5 24.5l17-17" stroke="#8a8a8a" '
                      'stroke-width="3.5"/>')
# the row menu's Delete
ART['queue/delete'] = svg('<path d="M8 8l16 16M24 8L8 24" stroke="#c62828" stroke-width="4" '
                          'stroke-linecap="round"/>')

for name, text in ART.items():
    path = os.path.join(HERE, name + '.svg')
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'w') as f:
        f.write(text)
print(len(ART), 'pictures')
