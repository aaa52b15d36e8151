#pragma once

#include <QDBusConnection>
#include <QDBusServer>
#include <QSemaphore>
#include <QThread>

// Serves one object of type Served at a path over a private peer-to-peer
// connection, from a thread of its own, so the test thread can make blocking
// calls to it. The object is made in that thread and lives as long as it.
template <typename Served>
class PeerServer : public QThread
{
public:
    PeerServer(const QString &path, QDBusConnection::RegisterOptions options)
        : m_path(path)
        , m_options(options)
    {
    }
    ~PeerServer() override
    {
        QDBusConnection::disconnectFromPeer(peerName());
        quit();
        wait();
    }

    // Starts the server and connects the test to it.
    QDBusConnection connect()
    {
        start();
        m_ready.acquire();
        return QDBusConnection::connectToPeer(m_address, peerName());
    }

protected:
    void run() override
    {
        QDBusServer server(QStringLiteral("unix:tmpdir=/tmp"));
        Served served;
        QObject::connect(&server, &QDBusServer::newConnection, [this, &served](const QDBusConnection &c) {
            QDBusConnection(c).registerObject(m_path, &served, m_options);
        });
        m_address = server.address();
        m_ready.release();
        exec();
    }

private:
    static QString peerName() { return QStringLiteral("peer"); }

    const QString m_path;
    const QDBusConnection::RegisterOptions m_options;
    QString m_address;
    QSemaphore m_ready;
};
