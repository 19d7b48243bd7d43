// The dialog on its own, built offscreen: its form, its labels, its buttons and its meta-object.
// The start-up chain that the constructor queues runs here too, but in a scratch folder with an
// empty PATH, so it stops quietly at the missing VNC server.

#include "app/mainwindow.h"
#include "client/client.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QMetaMethod>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QStringList childNames(const QObject *parent)
{
    QStringList names;
    for (const QObject *child : parent->children())
        names << child->objectName();
    return names;
}

QString clipboardText()
{
    return QGuiApplication::clipboard()->text(QClipboard::Clipboard);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void windowTitleSizeAndName();
    void childrenInCreationOrder();
    void gridCells_data();
    void gridCells();
    void spacerAndEmptyRow();
    void fixedTexts_data();
    void fixedTexts();
    void styleSheets_data();
    void styleSheets();
    void sizePoliciesAndMinimumSizes_data();
    void sizePoliciesAndMinimumSizes();
    void labelDetails();
    void initialTextsBeforeRun();
    void metaObjectSlots();
    void statusChangesLabels_data();
    void statusChangesLabels();
    void unknownStatusChangesNothing();
    void sessionIdAndPasswordVerbatim();
    void clipboardUsesMembers();
    void tabOrder();
    void mnemonics();
    void escapeAndCloseDoNotRunExitButton_data();
    void escapeAndCloseDoNotRunExitButton();

private:
    static Ui_MainWindow *form(MainWindow *window);
    QLabel *label(const char *name) const { return window->findChild<QLabel *>(name); }
    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(name); }
    void setStatus(Client::Status status);
    void showActive();
    QString generatedPassword();

    QTemporaryDir scratch;
    QTemporaryDir emptyPath;
    QString savedCwd;
    QByteArray savedPath;
    std::unique_ptr<MainWindow> window;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(scratch.isValid());
    QVERIFY(emptyPath.isValid());
    savedCwd = QDir::currentPath();
    savedPath = qgetenv("PATH");
    // The window writes its password file and looks for its programs relative to these.
    QVERIFY(QDir::setCurrent(scratch.path()));
    qputenv("PATH", QFile::encodeName(emptyPath.path()));
    // Closing the window must not stop the test's own event loops.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestMainWindow::cleanupTestCase()
{
    qputenv("PATH", savedPath);
    QDir::setCurrent(savedCwd);
}

void TestMainWindow::init()
{
    // Its appearance tells that this test's window has run its start-up.
    QFile::remove("vnc_password_session.dat");
    window = std::make_unique<MainWindow>();
}

void TestMainWindow::cleanup()
{
    window.reset();
}

void TestMainWindow::setStatus(Client::Status status)
{
    // Direct invocation, as the window's connection from the Client is direct.
    QVERIFY(QMetaObject::invokeMethod(window.get(), "updateSessionAStatus", Qt::DirectConnection,
                                      Q_ARG(Client::Status, status)));
}

void TestMainWindow::showActive()
{
    window->show();
    QApplication::setActiveWindow(window.get());
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
}

QString TestMainWindow::generatedPassword()
{
    // run() writes the file right after storing the password; the copy button tells it.
    if (!QTest::qWaitFor([] { return QFile::exists("vnc_password_session.dat"); }))
        return QString();
    button("mui_clipboard")->click();
    const QString prefix = QString::fromUtf8("Velmora. ID: --- Contrase\xc3\xb1"
                                             "a: ");
    const QString text = clipboardText();
    return text.startsWith(prefix) ? text.mid(prefix.size()) : QString();
}

void TestMainWindow::windowTitleSizeAndName()
{
    QCOMPARE(window->objectName(), QStringLiteral("Dialog"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Velmora (beta 155)"));
    QCOMPARE(window->size(), QSize(329, 270));
    QCOMPARE(window->minimumSize(), QSize(0, 0));
    QCOMPARE(window->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->size(), QSize(329, 270));
}

void TestMainWindow::childrenInCreationOrder()
{
    // The layout first, then the widgets in the order the form creates them.
    const QStringList expected = {"gridLayout", "mui_id",    "mui_password", "widget",
                                  "label_4",    "mui_state", "label_2",      "mui_clipboard",
                                  "mui_close",  "label_3",   "label",        "label_5"};
    QCOMPARE(childNames(window.get()), expected);
    QCOMPARE(window->layout(), window->findChild<QGridLayout *>("gridLayout"));
}

void TestMainWindow::gridCells_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("rowSpan");
    QTest::addColumn<int>("columnSpan");

    QTest::newRow("title") << "label_3" << 0 << 0 << 1 << 3;
    QTest::newRow("subtitle") << "label_4" << 1 << 0 << 1 << 3;
    QTest::newRow("id caption") << "label" << 2 << 0 << 1 << 3;
    QTest::newRow("id") << "mui_id" << 3 << 0 << 1 << 1;
    QTest::newRow("copy button") << "mui_clipboard" << 3 << 1 << 1 << 2;
    QTest::newRow("password caption") << "label_2" << 4 << 0 << 1 << 3;
    QTest::newRow("password") << "mui_password" << 5 << 0 << 1 << 1;
    QTest::newRow("filler") << "widget" << 5 << 1 << 1 << 2;
    QTest::newRow("exit button") << "mui_close" << 8 << 0 << 1 << 3;
    QTest::newRow("status") << "mui_state" << 9 << 0 << 1 << 3;
    QTest::newRow("footer") << "label_5" << 10 << 0 << 1 << 3;
}

void TestMainWindow::gridCells()
{
    QFETCH(QString, name);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, rowSpan);
    QFETCH(int, columnSpan);

    auto *grid = qobject_cast<QGridLayout *>(window->layout());
    QVERIFY(grid);
    auto *widget = window->findChild<QWidget *>(name);
    QVERIFY(widget);
    const int index = grid->indexOf(widget);
    QVERIFY(index >= 0);
    int r = -1, c = -1, rs = -1, cs = -1;
    grid->getItemPosition(index, &r, &c, &rs, &cs);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rs, rowSpan);
    QCOMPARE(cs, columnSpan);
    // No alignment is given to the grid.
    QCOMPARE(grid->itemAt(index)->alignment(), Qt::Alignment());
}

void TestMainWindow::spacerAndEmptyRow()
{
    auto *grid = qobject_cast<QGridLayout *>(window->layout());
    QVERIFY(grid);
    QCOMPARE(grid->rowCount(), 11);
    QCOMPARE(grid->columnCount(), 3);
    QCOMPARE(grid->count(), 12);

    // The spacer is the third item added, after the two value labels.
    QSpacerItem *spacer = grid->itemAt(2)->spacerItem();
    QVERIFY(spacer);
    int r = -1, c = -1, rs = -1, cs = -1;
    grid->getItemPosition(2, &r, &c, &rs, &cs);
    QCOMPARE(QList<int>({r, c, rs, cs}), QList<int>({7, 0, 1, 3}));
    QCOMPARE(spacer->sizeHint(), QSize(20, 6));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

    for (int column = 0; column < 3; ++column)
        QVERIFY(!grid->itemAtPosition(6, column));
}

void TestMainWindow::fixedTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    QTest::newRow("title") << "label_3"
                           << "Velmora";
    QTest::newRow("subtitle") << "label_4"
                              << "Comparta su Escritorio con Soporte Remoto.";
    QTest::newRow("id caption") << "label"
                                << "Su ID:";
    QTest::newRow("password caption") << "label_2"
                                      << QString::fromUtf8("Su contrase\xc3\xb1"
                                                           "a:");
    QTest::newRow("copy button") << "mui_clipboard"
                                 << "&Copiar";
    QTest::newRow("exit button") << "mui_close"
                                 << "&Salir";
    QTest::newRow("footer") << "label_5" << QString::fromUtf8("\xc2\xa9 2026 Velmora");
}

void TestMainWindow::fixedTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QWidget *widget = window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->property("text").toString(), text);
}

void TestMainWindow::styleSheets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("styleSheet");

    // mui_id's declaration has no closing semicolon; the others do.
    QTest::newRow("id") << "mui_id"
                        << "font: 14pt \"Sans Serif\"";
    QTest::newRow("password") << "mui_password"
                              << "font: 14pt \"Sans Serif\";";
    QTest::newRow("subtitle") << "label_4"
                              << "font: 7pt \"Sans Serif\";";
    QTest::newRow("status") << "mui_state"
                            << "background: rgb(0, 170, 0);\ncolor: rgb(255, 255, 255);";
    QTest::newRow("password caption") << "label_2"
                                      << "font: 12pt \"Sans Serif\";";
    QTest::newRow("title") << "label_3"
                           << "font: 16pt \"Sans Serif\";";
    QTest::newRow("id caption") << "label"
                                << "font: 12pt \"Sans Serif\";";
    QTest::newRow("footer") << "label_5"
                            << "";
    QTest::newRow("filler") << "widget"
                            << "";
    QTest::newRow("copy button") << "mui_clipboard"
                                 << "";
    QTest::newRow("exit button") << "mui_close"
                                 << "";
}

void TestMainWindow::styleSheets()
{
    QFETCH(QString, name);
    QFETCH(QString, styleSheet);
    QWidget *widget = window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->styleSheet(), styleSheet);
}

void TestMainWindow::sizePoliciesAndMinimumSizes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSizePolicy>("policy");
    QTest::addColumn<QSize>("minimumSize");

    const QSizePolicy valueLabel(QSizePolicy::Expanding, QSizePolicy::Preferred);
    const QSizePolicy besideValue(QSizePolicy::Minimum, QSizePolicy::Preferred);
    QTest::newRow("id") << "mui_id" << valueLabel << QSize(0, 0);
    QTest::newRow("password") << "mui_password" << valueLabel << QSize(0, 0);
    QTest::newRow("filler") << "widget" << besideValue << QSize(46, 26);
    QTest::newRow("copy button") << "mui_clipboard" << besideValue << QSize(46, 26);
    // Class defaults where the form sets nothing.
    QTest::newRow("exit button") << "mui_close" << QPushButton().sizePolicy() << QSize(0, 0);
    QTest::newRow("status") << "mui_state" << QLabel().sizePolicy() << QSize(0, 0);
}

void TestMainWindow::sizePoliciesAndMinimumSizes()
{
    QFETCH(QString, name);
    QFETCH(QSizePolicy, policy);
    QFETCH(QSize, minimumSize);
    QWidget *widget = window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->sizePolicy(), policy);
    QCOMPARE(widget->sizePolicy().horizontalStretch(), 0);
    QCOMPARE(widget->sizePolicy().verticalStretch(), 0);
    QCOMPARE(widget->minimumSize(), minimumSize);
}

void TestMainWindow::labelDetails()
{
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    const Qt::Alignment centred = Qt::AlignCenter;
    const Qt::Alignment byDefault = QLabel().alignment();
    QCOMPARE(label("mui_id")->alignment(), right);
    QCOMPARE(label("mui_password")->alignment(), right);
    QCOMPARE(label("label_4")->alignment(), centred);
    QCOMPARE(label("label_3")->alignment(), centred);
    QCOMPARE(label("label_5")->alignment(), centred);
    QCOMPARE(label("label")->alignment(), byDefault);
    QCOMPARE(label("label_2")->alignment(), byDefault);
    QCOMPARE(label("mui_state")->alignment(), byDefault);

    // ID and password can be selected and copied by hand.
    const Qt::TextInteractionFlags selectable =
        Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse;
    QCOMPARE(label("mui_id")->textInteractionFlags(), selectable);
    QCOMPARE(label("mui_password")->textInteractionFlags(), selectable);
    QCOMPARE(label("label")->textInteractionFlags(), QLabel().textInteractionFlags());

    QCOMPARE(label("label_5")->font().pointSize(), 6);
    QVERIFY(label("label_5")->styleSheet().isEmpty());
    QVERIFY(!label("label")->autoFillBackground());
}

void TestMainWindow::initialTextsBeforeRun()
{
    // Nothing has reached the event loop yet, so the queued run() has not generated a password.
    QCOMPARE(label("mui_id")->text(), QStringLiteral("---"));
    QCOMPARE(label("mui_password")->text(), QStringLiteral("---"));
    QCOMPARE(label("mui_state")->text(), QStringLiteral("Iniciando..."));
    button("mui_clipboard")->click();
    QCOMPARE(clipboardText(), QString::fromUtf8("Velmora. ID: --- Contrase\xc3\xb1"
                                                "a: ---"));

    // Once run() has had its turn the password exists but is not shown yet.
    QTRY_VERIFY(QFile::exists("vnc_password_session.dat"));
    QCOMPARE(label("mui_password")->text(), QStringLiteral("---"));
    QCOMPARE(label("mui_state")->text(), QStringLiteral("Iniciando..."));
    button("mui_clipboard")->click();
    QVERIFY2(QRegularExpression(QString::fromUtf8("^Velmora\\. ID: --- Contrase\xc3\xb1"
                                                  "a: [0-9]{4}$"))
                 .match(clipboardText())
                 .hasMatch(),
             qPrintable(clipboardText()));
}

void TestMainWindow::metaObjectSlots()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.superClass(), &QDialog::staticMetaObject);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());

    const QList<QByteArray> expected = {"run()",
                                        "updateSessionId(QString)",
                                        "updateSessionPassword(QString)",
                                        "updateSessionAStatus(Client::Status)",
                                        "vncStarted()",
                                        "proxyStarted()",
                                        "on_mui_close_clicked()",
                                        "on_mui_clipboard_clicked()"};
    QList<QByteArray> signatures;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        signatures << method.methodSignature();
    }
    QCOMPARE(signatures, expected);

    const QMetaMethod idSlot = meta.method(meta.indexOfSlot("updateSessionId(QString)"));
    QCOMPARE(idSlot.parameterNames(), QList<QByteArray>{"sessionId"});
    const QMetaMethod statusSlot =
        meta.method(meta.indexOfSlot("updateSessionAStatus(Client::Status)"));
    QCOMPARE(statusSlot.parameterNames(), QList<QByteArray>{"status"});
}

void TestMainWindow::statusChangesLabels_data()
{
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("passwordShown");
    QTest::addColumn<QString>("state");

    QTest::newRow("connected") << QList<int>{Client::Connected} << "A-1" << true << "Listo";
    QTest::newRow("disconnected") << QList<int>{Client::Disconnected} << "---" << false
                                  << "No conectado";
    // A disconnection does not hide a password already shown.
    QTest::newRow("connected, disconnected")
        << QList<int>{Client::Connected, Client::Disconnected} << "---" << true << "No conectado";
    QTest::newRow("connected, disconnected, connected")
        << QList<int>{Client::Connected, Client::Disconnected, Client::Connected} << "---" << true
        << "Listo";
}

void TestMainWindow::statusChangesLabels()
{
    QFETCH(QList<int>, statuses);
    QFETCH(QString, id);
    QFETCH(bool, passwordShown);
    QFETCH(QString, state);

    const QString password = generatedPassword();
    QVERIFY2(QRegularExpression("^[0-9]{4}$").match(password).hasMatch(), qPrintable(password));
    QVERIFY(QMetaObject::invokeMethod(window.get(), "updateSessionId", Q_ARG(QString, "A-1")));

    for (int status : statuses)
        setStatus(static_cast<Client::Status>(status));

    QCOMPARE(label("mui_id")->text(), id);
    QCOMPARE(label("mui_password")->text(), passwordShown ? password : QStringLiteral("---"));
    QCOMPARE(label("mui_state")->text(), state);
    // Only the text changes, never the style.
    QCOMPARE(label("mui_state")->styleSheet(),
             QStringLiteral("background: rgb(0, 170, 0);\ncolor: rgb(255, 255, 255);"));
}

void TestMainWindow::unknownStatusChangesNothing()
{
    QMetaObject::invokeMethod(window.get(), "updateSessionId", Q_ARG(QString, "A-1"));
    QMetaObject::invokeMethod(window.get(), "updateSessionPassword", Q_ARG(QString, "1234"));
    setStatus(Client::Connected);
    QCOMPARE(label("mui_state")->text(), QStringLiteral("Listo"));

#ifdef VELMORA_SANITIZED_BUILD
    // Client::Status has no fixed underlying type, so its values are 0 and 1 only: loading a 2
    // is undefined behaviour, which the sanitizer rightly stops at.
    QSKIP("an out-of-range Client::Status is undefined behaviour under UBSan");
#endif
    // Passed as the plain integer it would arrive as.
    const int unknown = 2;
    QVERIFY(QMetaObject::invokeMethod(window.get(), "updateSessionAStatus", Qt::DirectConnection,
                                      QGenericArgument("Client::Status", &unknown)));

    QCOMPARE(label("mui_id")->text(), QStringLiteral("A-1"));
    QCOMPARE(label("mui_password")->text(), QStringLiteral("1234"));
    QCOMPARE(label("mui_state")->text(), QStringLiteral("Listo"));
    button("mui_clipboard")->click();
    QCOMPARE(clipboardText(), QString::fromUtf8("Velmora. ID: A-1 Contrase\xc3\xb1"
                                                "a: 1234"));
}

void TestMainWindow::sessionIdAndPasswordVerbatim()
{
    // No trimming, formatting or checking: the labels show exactly what arrives.
    const QString id = QStringLiteral("  12 345\t<b>x</b> ");
    QMetaObject::invokeMethod(window.get(), "updateSessionId", Q_ARG(QString, id));
    QCOMPARE(label("mui_id")->text(), id);
    QMetaObject::invokeMethod(window.get(), "updateSessionId", Q_ARG(QString, QString()));
    QCOMPARE(label("mui_id")->text(), QString());
    QMetaObject::invokeMethod(window.get(), "updateSessionPassword", Q_ARG(QString, " 0007 "));
    QCOMPARE(label("mui_password")->text(), QStringLiteral(" 0007 "));
    button("mui_clipboard")->click();
    QCOMPARE(clipboardText(), QString::fromUtf8("Velmora. ID:  Contrase\xc3\xb1"
                                                "a:  0007 "));
}

void TestMainWindow::clipboardUsesMembers()
{
    QMetaObject::invokeMethod(window.get(), "updateSessionId", Q_ARG(QString, "987 654"));
    QMetaObject::invokeMethod(window.get(), "updateSessionPassword", Q_ARG(QString, "0042"));
    // Editing the labels does not change what is copied.
    label("mui_id")->setText("edited");
    label("mui_password")->setText("edited");
    button("mui_clipboard")->click();
    QCOMPARE(clipboardText(), QString::fromUtf8("Velmora. ID: 987 654 Contrase\xc3\xb1"
                                                "a: 0042"));
}

void TestMainWindow::tabOrder()
{
    showActive();
    button("mui_clipboard")->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), button("mui_clipboard"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTRY_COMPARE(QApplication::focusWidget(), button("mui_close"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    QTRY_COMPARE(QApplication::focusWidget(), button("mui_clipboard"));
}

void TestMainWindow::mnemonics()
{
    showActive();
    QMetaObject::invokeMethod(window.get(), "updateSessionId", Q_ARG(QString, "321"));
    QMetaObject::invokeMethod(window.get(), "updateSessionPassword", Q_ARG(QString, "1234"));
    QGuiApplication::clipboard()->clear();

    QSignalSpy copied(button("mui_clipboard"), &QPushButton::clicked);
    QTest::keyClick(window.get(), Qt::Key_C, Qt::AltModifier);
    QVERIFY(copied.count() == 1 || copied.wait());
    QCOMPARE(clipboardText(), QString::fromUtf8("Velmora. ID: 321 Contrase\xc3\xb1"
                                                "a: 1234"));
    QVERIFY(window->isVisible());

    QSignalSpy exited(button("mui_close"), &QPushButton::clicked);
    QSignalSpy rejected(window.get(), &QDialog::rejected);
    QTest::keyClick(window.get(), Qt::Key_S, Qt::AltModifier);
    QVERIFY(exited.count() == 1 || exited.wait());
    QTRY_VERIFY(!window->isVisible());
    QCOMPARE(rejected.count(), 1);
    QCOMPARE(copied.count(), 1);
}

void TestMainWindow::escapeAndCloseDoNotRunExitButton_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("escape key") << true;
    QTest::newRow("window closed") << false;
}

void TestMainWindow::escapeAndCloseDoNotRunExitButton()
{
    QFETCH(bool, escape);
    showActive();
    QSignalSpy exited(button("mui_close"), &QPushButton::clicked);
    QSignalSpy rejected(window.get(), &QDialog::rejected);
    if (escape)
        QTest::keyClick(window.get(), Qt::Key_Escape);
    else
        QVERIFY(window->close());
    QTRY_VERIFY(!window->isVisible());
    QCOMPARE(rejected.count(), 1);
    QCOMPARE(exited.count(), 0);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
