#pragma once

class HistoryWindow;
class QWidget;

// Opens "История…" of the meter of the main window's tab `row` from the tab
// bar's context menu, or of its row in the summary window; the history
// window shown then, or null.
HistoryWindow *openHistory(QWidget *mainWindow, int row, bool fromSummary = false);

// The largest voltage the history window draws, or -1 when it draws none.
double drawnVoltage(const HistoryWindow *window);
