// The status page: one file with no external resources (it must work on a
// network without internet), built into the program from page.html, page.css
// and page.js. Its script builds every element itself and sets every text
// through textContent, so a name is shown as written and never parsed.
#pragma once

// The page, its style and script inline.
const char* status_page();

// Its Content-Security-Policy: only the page's own style and script run (by
// their SHA-256), and it may fetch from here only; a second line of defence
// should a text ever reach the page as markup.
const char* status_page_policy();

// Its icon, an SVG drawn by hand in the page's colours.
const char* status_page_icon();
