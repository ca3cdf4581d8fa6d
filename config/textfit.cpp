#include "config/textfit.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLayout>
#include <QSplitter>
#include <QVector>

namespace {

void growForm(QWidget *form, int extraWidth)
{
    form->setMinimumWidth(form->minimumWidth() + extraWidth);
    if (form->maximumWidth() < QWIDGETSIZE_MAX)
        form->setMaximumWidth(form->maximumWidth() + extraWidth);
    form->resize(form->width() + extraWidth, form->height());
}

} // namespace

void fitTextsInLayout(QWidget *form, QWidget *content)
{
    const QList<QLabel *> labels = content->findChildren<QLabel *>();
    int labelWidth = 0;
    for (const QLabel *label : labels)
        labelWidth = qMax(labelWidth, label->sizeHint().width());
    for (QLabel *label : labels) {
        if (label->minimumWidth() < labelWidth && labelWidth <= label->maximumWidth())
            label->setMinimumWidth(labelWidth);
    }
    for (QAbstractButton *button : content->findChildren<QAbstractButton *>()) {
        const int needed = button->sizeHint().width();
        if (button->minimumWidth() < needed && needed <= button->maximumWidth())
            button->setMinimumWidth(needed);
    }

    content->layout()->invalidate();
    const int extra = content->layout()->minimumSize().width() - content->width();
    if (extra <= 0)
        return;
    content->resize(content->width() + extra, content->height());
    growForm(form, extra);
}

void fitButtonRow(QWidget *form, QSplitter *row, int leftLimit)
{
    QList<int> sizes;
    int needed = row->handleWidth() * (row->count() - 1);
    for (int i = 0; i < row->count(); ++i) {
        sizes << qMax(row->widget(i)->width(), row->widget(i)->sizeHint().width());
        needed += sizes.constLast();
    }
    if (needed <= row->width())
        return;
    QRect geometry = row->geometry();
    const int shortfall = qMax(0, leftLimit - (geometry.right() + 1 - needed));
    if (shortfall > 0) {
        growForm(form, shortfall);
        geometry.translate(shortfall, 0);
    }
    geometry.setLeft(geometry.right() + 1 - needed);
    row->setGeometry(geometry);
    row->setSizes(sizes);
}
