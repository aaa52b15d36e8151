#include "busfailure.h"

namespace {

// Bus error texts may span lines; the client says everything in one.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}

QString withDetail(const QString &what, const QDBusError &error)
{
    const QString detail = oneLine(error.message());
    return detail.isEmpty() ? what : what + QStringLiteral(": ") + detail;
}

} // namespace

Outcome describeMissingBus(const QDBusError &error)
{
    return Outcome::unreachable(withDetail(QStringLiteral("cannot reach the system bus"), error));
}

Outcome describeBusError(const QDBusError &error)
{
    const QString name = error.name();
    if (error.type() == QDBusError::ServiceUnknown
        || name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        return Outcome::unreachable(
            QStringLiteral("arkvaned is not running (nothing owns com.tavrin.arkvane on the system bus)"));
    }
    // Bus activation was tried and failed.
    if (name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."))
        || name == QLatin1String("org.freedesktop.systemd1.NoSuchUnit")) {
        return Outcome::unreachable(
            withDetail(QStringLiteral("arkvaned is not running and could not be started"), error));
    }
    switch (error.type()) {
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return Outcome::unreachable(withDetail(QStringLiteral("arkvaned did not answer"), error));
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
    case QDBusError::NoNetwork:
    case QDBusError::BadAddress:
        return Outcome::unreachable(withDetail(QStringLiteral("lost the system bus"), error));
    case QDBusError::AccessDenied:
        return Outcome::failure(withDetail(QStringLiteral("refused by the system bus policy"), error));
    default:
        break;
    }
    return Outcome::failure(
        withDetail(QStringLiteral("arkvaned answered with the error %1").arg(name), error));
}
