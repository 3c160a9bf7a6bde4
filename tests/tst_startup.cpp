// The platform chosen before the application starts: the environment in, the platform out.

#include "startup.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void waylandSessionsRunOnXWayland_data()
    {
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("xUp");
        QTest::addColumn<QByteArray>("platform");
        const QStringList wayland{"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"};
        QTest::newRow("wayland with XWayland") << wayland << QStringList() << true << QByteArray("xcb");
        QTest::newRow("only WAYLAND_DISPLAY says so") << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:1"}
                                                      << QStringList() << true << QByteArray("xcb");
        QTest::newRow("XWayland not running") << wayland << QStringList() << false << QByteArray();
        QTest::newRow("no DISPLAY") << QStringList{"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=wayland-0"}
                                    << QStringList() << true << QByteArray();
        QTest::newRow("chosen by QT_QPA_PLATFORM") << wayland + QStringList{"QT_QPA_PLATFORM=wayland"}
                                                   << QStringList() << true << QByteArray();
        QTest::newRow("chosen by -platform") << wayland << QStringList{"-platform", "wayland"} << true << QByteArray();
        QTest::newRow("X11 session") << QStringList{"XDG_SESSION_TYPE=x11", "DISPLAY=:0"} << QStringList() << true
                                     << QByteArray();
    }
    void waylandSessionsRunOnXWayland()
    {
        QFETCH(QStringList, env);
        QFETCH(QStringList, arguments);
        QFETCH(bool, xUp);
        QFETCH(QByteArray, platform);
        QProcessEnvironment e;
        for (const QString &kv : env)
            e.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
        QString asked;
        const QByteArray chosen = chooseQtPlatform(e, arguments, [&](const QString &display) {
            asked = display;
            return xUp;
        });
        QCOMPARE(chosen, platform);
        if (!platform.isEmpty())
            QCOMPARE(asked, e.value(QStringLiteral("DISPLAY")));
    }

    void localDisplaysAreReachableWhenTheirSocketExists()
    {
        QTemporaryDir dir;
        QFile socket(dir.filePath(QStringLiteral("X3")));
        QVERIFY(socket.open(QIODevice::WriteOnly));
        QVERIFY(xDisplayReachable(QStringLiteral(":3"), dir.path()));
        QVERIFY(xDisplayReachable(QStringLiteral("unix:3.0"), dir.path()));
        QVERIFY(!xDisplayReachable(QStringLiteral(":0"), dir.path()));
        QVERIFY(xDisplayReachable(QStringLiteral("otherhost:0"), dir.path()));
        QVERIFY(!xDisplayReachable(QString(), dir.path()));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
