// The agent's only window: shows the session ID, the session password and a status line, and
// starts the local VNC server, the WebSocket proxy and the relay client one after the other.
#pragma once

#include "client/client.h"

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <memory>

class Ui_MainWindow;
class VNCServer;
class VNCWsProxy;

/// Created once by main() with no parent, as the application's only top-level window.
///
/// The constructor builds the form, creates the three working objects and queues run() on the
/// event loop; from there each link of the start-up chain is started by the previous one's
/// started() signal: password file and VNC server, then the proxy, then the relay client.
/// The window owns the form object and the three working objects; destroying the window ends
/// the client's connections and both outside programs.
///
/// Closing by the title bar or Escape takes QDialog's default path; only the exit button makes
/// the client forget its session token first.
class MainWindow : public QDialog
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    /// Start-up, queued once by the constructor: session password, password file, VNC server.
    void run();
    void updateSessionId(QString sessionId);
    void updateSessionPassword(QString sessionPassword);
    /// Client::Disconnected clears the ID; Client::Connected reveals the password; any other
    /// value changes nothing.
    void updateSessionAStatus(Client::Status status);
    void vncStarted();
    void proxyStarted();
    void on_mui_close_clicked();
    void on_mui_clipboard_clicked();

private:
    // Stateless helpers; they delegate to the credentials library.
    static QString generateSessionPassword();
    static QByteArray encodeVncPassword(const QString &password);
    /// True when the file could be opened for writing.
    static bool writePasswordFile(const QString &fileName, const QByteArray &data);

    // Destroyed in reverse order: client, form, strings, proxy, VNC server.
    std::unique_ptr<VNCServer> vncServer;
    std::unique_ptr<VNCWsProxy> wsProxy;
    QString sessionId;
    QString sessionPassword;
    std::unique_ptr<Ui_MainWindow> ui;
    std::unique_ptr<Client> client;
};
