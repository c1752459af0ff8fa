// The viewing page: one HTML document with its script and style inline and
// no outside resource. It shows the live canvas at its own size in the top
// left corner and, under it, the figures and detections, refreshed twice a
// second.
#pragma once

#include <string>

const std::string& viewing_page();
