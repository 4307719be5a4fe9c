#pragma once

#include <QString>

// German text for an errno value, the same wherever the program reports a system
// failure. Never reads "Success": 0 and unknown numbers get a text of their own.
QString systemErrorText(int errnum);
