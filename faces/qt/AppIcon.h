// The program's icon, drawn in code from the same shapes as the packaged
// stb-downloader.svg, so that the window shows it without an SVG renderer.
#pragma once

#include <QIcon>

QIcon AppIcon();
