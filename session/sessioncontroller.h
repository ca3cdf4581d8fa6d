#pragma once

#include "config/settingsfile.h"
#include "mqtt/client.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

// The session as the window presents it: what a press of the connect button
// does, which attempt is under way or waits to be made, and what the status
// bar says about it. The window's slots hand the client's signals on to it
// and apply stateChanged() to the button and the settings menus.
//
// Every attempt reads Settings.conf afresh. With AutoReconnect, a lost
// connection or an attempt that failed for a network reason is tried again
// after 1 s, then 2, 4, 8 ... up to 60 s between tries, until one connects or
// the user presses the button; failures that need the user (credentials, an
// identifier, settings, certificates) are not tried again. A TLS handshake
// broken off without a word counts as a network failure once the broker has
// been reached or the tries are automatic. The waits start again at 1 s after
// a connection that lasted twice the longest wait; one lost sooner goes on
// with the wait it had.
class SessionController final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SessionController)

public:
    enum class State
    {
        Idle,
        Attempting,
        Connected,
        Ending, // disconnecting at the user's request
        Waiting // for the next automatic attempt
    };
    Q_ENUM(State)

    static constexpr int kFirstRetryDelayMs = 1000;
    static constexpr int kLongestRetryDelayMs = 60000;

    explicit SessionController(QMQTT::Client *client, QObject *parent = nullptr);

    State state() const { return m_state; }
    // The subscriptions are made from the settings, so they stay as they are
    // while a session is live, an attempt under way or one to come.
    bool locksSettings() const;
    // The button reads "Отключиться": a press ends the session, or stops
    // reconnecting.
    bool offersDisconnect() const;

    // The waits between automatic attempts: the first, doubled after every
    // failed one up to the longest.
    void setRetryDelays(int firstMs, int longestMs);
    // The file every attempt reads; Settings.conf in the working directory unless set.
    void setSettingsFile(const QString &fileName) { m_settingsFile = fileName; }
    // For a program nobody watches: every failure is tried again, whatever
    // AutoReconnect says and whatever the failure, since nobody will press the
    // button; each try reads the settings afresh, so a mended file is used.
    void setUnattended(bool unattended) { m_unattended = unattended; }

    // Says in the status bar which values of Settings.conf are ignored, or
    // why it could not be read, and presses the button once `window` is
    // first shown if Settings.conf says ConnectOnStart.
    void startUp(QObject *window);
    // While the status bar still shows that note (`shown` is its text now),
    // reads the file again and brings the note up to date: it goes once the
    // file has been mended.
    void refreshFileNote(const QString &shown);

    void press();
    void connected();
    void disconnected();
    void failed(QMQTT::ClientError error);

signals:
    void stateChanged();
    void statusChanged(const QString &text);
    // The next automatic attempt comes in delayMs.
    void retryScheduled(int delayMs);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void startAttempt(bool automatic);
    // Nothing under way or to come any more.
    void stop(const QString &status);
    void setState(State state);
    // Whether another try may mend the failure by itself.
    bool mayMendItself(QMQTT::ClientError error, bool lost) const;
    void scheduleRetry();
    void showCountdown();
    void subscriptionRefused(const QString &topic);
    QString target() const;
    // What the status bar says about the file, or nothing.
    QString fileNote(const SessionSettings &settings) const;
    QString problemText(const ReadProblem &problem) const;
    QString failureText(QMQTT::ClientError error) const;
    QString invalidSettingText() const;
    QString tlsText(QMQTT::ClientError error) const;

    QMQTT::Client *const m_client;
    QString m_settingsFile = QStringLiteral("Settings.conf");
    bool m_unattended = false;
    State m_state = State::Idle;
    // The attempt under way was started by the retry timer, not by the user.
    bool m_automatic = false;
    // The connection broke; the error that follows only says why.
    bool m_lost = false;
    // As Settings.conf said when the attempt started.
    ConnectionOptions m_options;
    QString m_host;
    int m_port = 0;
    QStringList m_refusedTopics;
    // The note about Settings.conf shown at start, as long as it may be shown.
    QString m_fileNote;

    int m_firstRetryDelayMs = kFirstRetryDelayMs;
    int m_longestRetryDelayMs = kLongestRetryDelayMs;
    int m_nextRetryDelayMs = kFirstRetryDelayMs;
    QElapsedTimer m_connectedFor;
    QTimer m_retryTimer;
    QTimer m_countdownTimer;
    QDeadlineTimer m_retryDeadline;
    QString m_countdownText;
};
