#include "app/mainwindow.h"

#include "credentials/sessionpassword.h"
#include "credentials/vncpasswordfile.h"
#include "ui_mainwindow.h"
#include "vnc/vncserver.h"
#include "vnc/vncwsproxy.h"

#include <QClipboard>
#include <QDebug>
#include <QGuiApplication>
#include <QTimer>

namespace {

// The VNC server reads the password from this same relative path (its own copy of the literal).
const QString passwordFileName = QStringLiteral("./vnc_password_session.dat");

} // namespace

MainWindow::MainWindow(QWidget *parent) : QDialog(parent)
{
    ui = std::make_unique<Ui_MainWindow>();
    vncServer = std::make_unique<VNCServer>();
    wsProxy = std::make_unique<VNCWsProxy>();
    // Reads velmora.conf now, before anything is started.
    client = std::make_unique<Client>(nullptr);

    ui->setupUi(this);

    connect(client.get(), SIGNAL(sessionIdChanged(QString)), this, SLOT(updateSessionId(QString)));
    // Client::Status is not a registered meta-type; this works because the connection is direct.
    connect(client.get(), SIGNAL(sessionAStatusChanged(Client::Status)), this,
            SLOT(updateSessionAStatus(Client::Status)));
    connect(vncServer.get(), &VNCServer::started, this, &MainWindow::vncStarted);
    connect(wsProxy.get(), &VNCWsProxy::started, this, &MainWindow::proxyStarted);

    updateSessionId(QStringLiteral("---"));
    updateSessionPassword(QStringLiteral("---"));
    ui->mui_state->setText(QStringLiteral("Iniciando..."));

    // Runs on the event loop's first pass, after main() has shown the window.
    QTimer::singleShot(0, this, SLOT(run()));
}

MainWindow::~MainWindow() = default;

void MainWindow::run()
{
    // Kept but not shown: the password label is filled only once the server connection is up.
    sessionPassword = generateSessionPassword();
    const QByteArray passwordFileData = encodeVncPassword(sessionPassword);
    // A VNC server started without a fresh file would accept a stale password that an earlier
    // supporter may know, so the chain stops here.
    if (!writePasswordFile(passwordFileName, passwordFileData)) {
        qDebug() << "Cannot write the password file, VNC server not started:" << passwordFileName;
        ui->mui_state->setText(QStringLiteral("No se pudo preparar la sesión"));
        return;
    }
    vncServer->start();
}

void MainWindow::updateSessionId(QString sessionId)
{
    this->sessionId = sessionId;
    ui->mui_id->setText(this->sessionId);
}

void MainWindow::updateSessionPassword(QString sessionPassword)
{
    this->sessionPassword = sessionPassword;
    ui->mui_password->setText(this->sessionPassword);
}

void MainWindow::updateSessionAStatus(Client::Status status)
{
    switch (status) {
    case Client::Disconnected:
        updateSessionId(QStringLiteral("---"));
        ui->mui_state->setText(QStringLiteral("No conectado"));
        break;
    case Client::Connected:
        updateSessionPassword(sessionPassword);
        ui->mui_state->setText(QStringLiteral("Listo"));
        break;
    }
}

void MainWindow::vncStarted()
{
    wsProxy->setVncHost(vncServer->host());
    wsProxy->setVncPort(vncServer->port());
    wsProxy->start();
}

void MainWindow::proxyStarted()
{
    client->setProxyHost(wsProxy->host());
    client->setProxyPort(wsProxy->port());
    client->run();
}

void MainWindow::on_mui_close_clicked()
{
    client->clearSessionToken();
    close();
}

void MainWindow::on_mui_clipboard_clicked()
{
    // The members, not the labels: the password is known before the label shows it.
    const QString text = QStringLiteral("Velmora. ID: ") + sessionId +
                         QStringLiteral(" Contraseña: ") + sessionPassword;
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

QString MainWindow::generateSessionPassword()
{
    return credentials::generateSessionPassword();
}

QByteArray MainWindow::encodeVncPassword(const QString &password)
{
    return credentials::encodeVncPassword(password);
}

bool MainWindow::writePasswordFile(const QString &fileName, const QByteArray &data)
{
    return credentials::writePasswordFile(fileName, data);
}
