// What the Windows program carries besides its code, read back from velmora.exe through the
// Windows resource API: version information, manifest and icon.

#include <QtTest>

#include <windows.h>

namespace {

const wchar_t *program()
{
    static const std::wstring path =
        QDir::toNativeSeparators(QStringLiteral(VELMORA_EXECUTABLE)).toStdWString();
    return path.c_str();
}

// A module handle for reading resources only: nothing of the program runs.
struct ResourceModule
{
    ResourceModule()
        : handle(LoadLibraryExW(program(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {}
    ~ResourceModule()
    {
        if (handle)
            FreeLibrary(handle);
    }
    HMODULE handle;
};

QString versionString(const QByteArray &info, const QString &name)
{
    void *value = nullptr;
    UINT length = 0;
    const std::wstring key = (QStringLiteral("\\StringFileInfo\\0C0A04B0\\") + name).toStdWString();
    if (!VerQueryValueW(info.constData(), key.c_str(), &value, &length) || length == 0)
        return QString();
    return QString::fromWCharArray(static_cast<const wchar_t *>(value), int(length) - 1);
}

} // namespace

class TestProgramResources : public QObject
{
    Q_OBJECT

private slots:
    void versionInformation_data();
    void versionInformation();
    void manifest();
    void icon();
};

void TestProgramResources::versionInformation_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::newRow("product") << "ProductName"
                             << "Velmora";
    QTest::newRow("description, in Spanish")
        << "FileDescription"
        << "Velmora: comparta su escritorio con soporte remoto";
    QTest::newRow("file name") << "OriginalFilename"
                               << "velmora.exe";
    QTest::newRow("version") << "ProductVersion" << QStringLiteral(VELMORA_VERSION);
}

void TestProgramResources::versionInformation()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program(), &ignored);
    QVERIFY(size > 0);
    QByteArray info(int(size), '\0');
    QVERIFY(GetFileVersionInfoW(program(), 0, size, info.data()));
    QCOMPARE(versionString(info, name), value);

    void *fixed = nullptr;
    UINT length = 0;
    QVERIFY(VerQueryValueW(info.constData(), L"\\", &fixed, &length));
    QCOMPARE(static_cast<VS_FIXEDFILEINFO *>(fixed)->dwFileType, DWORD(VFT_APP));
}

void TestProgramResources::manifest()
{
    ResourceModule module;
    QVERIFY(module.handle);
    // The manifest the loader reads is resource 1 of type 24; a second one would be ignored.
    HRSRC resource = FindResourceW(module.handle, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    QVERIFY(resource);
    const QByteArray text(
        static_cast<const char *>(LockResource(LoadResource(module.handle, resource))),
        int(SizeofResource(module.handle, resource)));
    QVERIFY2(text.contains("level=\"asInvoker\""), text.constData());
    QVERIFY(text.contains("<dpiAware"));
    QVERIFY(text.contains("PerMonitorV2"));
}

void TestProgramResources::icon()
{
    ResourceModule module;
    QVERIFY(module.handle);
    for (int size : {16, 32, 48, 256}) {
        HANDLE icon = LoadImageW(module.handle, L"IDI_ICON1", IMAGE_ICON, size, size, 0);
        QVERIFY2(icon, qPrintable(QString::number(size)));
        ICONINFO info{};
        QVERIFY(GetIconInfo(static_cast<HICON>(icon), &info));
        BITMAP bitmap{};
        GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
        QCOMPARE(int(bitmap.bmWidth), size);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(static_cast<HICON>(icon));
    }
}

QTEST_GUILESS_MAIN(TestProgramResources)
#include "tst_programresources.moc"
