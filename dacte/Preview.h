#pragma once
// The DACTE in the platform's print preview: page through, zoom, print, or save as PDF.
#include "Renderer.h"

class QWidget;

namespace dacte {

// Modal; returns when the user closes the preview.
void preview(QWidget *parent, const Batch &docs, const QString &title);

} // namespace dacte
