#include "common/historywindows.h"

#include "common/widgets.h"
#include "history/historywindow.h"
#include "overview/summarywindow.h"

#include <qwt_plot.h>
#include <qwt_plot_curve.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>

HistoryWindow *openHistory(QWidget *mainWindow, int row, bool fromSummary)
{
    if (fromSummary) {
        triggerAction(mainWindow, QStringLiteral("actionSummary"));
        auto *summary = shown<SummaryWindow>(mainWindow);
        auto *table = child<QTableView>(summary, QStringLiteral("tableSummary"));
        table->setCurrentIndex(table->model()->index(row, 0));
        child<QAction>(summary, QStringLiteral("actionHistory"))->trigger();
    } else {
        QTabBar *tabs = child<QTabWidget>(mainWindow, QStringLiteral("tabWidget"))->tabBar();
        const QPoint at = tabs->tabRect(row).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, tabs->mapToGlobal(at));
        QApplication::sendEvent(tabs, &event);
        auto *menu = shown<QMenu>(mainWindow);
        if (!menu)
            return nullptr;
        child<QAction>(menu, QStringLiteral("actionHistory"))->trigger();
        menu->close();
    }
    return shown<HistoryWindow>(mainWindow);
}

double drawnVoltage(const HistoryWindow *window)
{
    const auto *plot = child<QwtPlot>(window, QStringLiteral("plotSupply"));
    for (const QwtPlotItem *item : plot->itemList(QwtPlotItem::Rtti_PlotCurve)) {
        const auto *curve = static_cast<const QwtPlotCurve *>(item);
        if (curve->title().text() == QStringLiteral("Напряжение, В"))
            return curve->dataSize() > 0 ? curve->maxYValue() : -1;
    }
    return -1;
}
