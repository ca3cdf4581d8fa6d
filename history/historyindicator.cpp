#include "history/historyindicator.h"

#include "history/historyrecorder.h"

HistoryIndicator::HistoryIndicator(QWidget *parent) : QLabel(parent)
{
    setObjectName(QStringLiteral("labelHistoryState"));
    hide();
}

void HistoryIndicator::watch(const HistoryRecorder *recorder)
{
    if (m_recorder)
        disconnect(m_recorder, nullptr, this, nullptr);
    m_recorder = recorder;
    if (recorder) {
        connect(recorder, &HistoryRecorder::stopped, this, &HistoryIndicator::refresh);
        connect(recorder, &HistoryRecorder::resumed, this, &HistoryIndicator::refresh);
        connect(recorder, &HistoryRecorder::clockDoubtChanged, this, &HistoryIndicator::refresh);
        connect(recorder, &HistoryRecorder::reopened, this, &HistoryIndicator::refresh);
    }
    refresh();
}

void HistoryIndicator::refresh()
{
    QString text;
    QString why;
    if (m_recorder && m_recorder->problem().shared) {
        text = tr("Общая история недоступна");
        why = HistoryRecorder::describe(m_recorder->problem()) + QLatin1Char('\n') +
              (m_recorder->target().records
                   ? tr("Показания за последний час хранятся в памяти и будут записаны в общую историю, как "
                        "только она снова станет доступна; программа пробует не реже раза в минуту.")
                   : tr("Графики показывают показания, полученные этой программой за последний час; программа "
                        "пробует связаться с общей историей не реже раза в минуту."));
    } else if (m_recorder && m_recorder->problem().kind != HistoryProblem::None) {
        text = tr("История не записывается");
        why = HistoryRecorder::describe(m_recorder->problem()) + QLatin1Char('\n') +
              tr("Показания за последний час хранятся в памяти и будут записаны в файл, как только он снова "
                 "станет доступен; программа пробует не реже раза в минуту.");
    } else if (m_recorder && m_recorder->clockDoubt() != ClockDoubt::None) {
        text = tr("Очистка истории отложена");
        why = HistoryRecorder::describe(m_recorder->clockDoubt()) + QLatin1Char('\n') +
              tr("Старые показания удаляются по часам компьютера, а они расходятся с записанным. Ничего не "
                 "удаляется, пока часы не согласуются с записанным или не пройдут ровно сутки.");
    } else if (m_recorder && !m_recorder->fileNotice().isEmpty()) {
        text = tr("Файл истории открыт заново");
        why = m_recorder->fileNotice();
    }
    setText(text);
    setToolTip(why);
    setVisible(!text.isEmpty());
}
