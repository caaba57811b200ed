#pragma once
#include <QStringList>

// dfe-bench dacte [count]: one DACTE read and drawn, then `count` into one PDF.
int runDacteBench(const QStringList &args);
