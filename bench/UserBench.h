#pragma once
// What a user waits for, against a dfe-server process on loopback: the list from the
// click to its first paint in the real screen, ticking in the shown grid, the server to
// the reply's last byte, and a JSON client on the same rows for comparison.
#include <QStringList>

int runUserBench(const QStringList &args);
