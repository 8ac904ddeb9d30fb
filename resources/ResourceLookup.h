#pragma once

#include <QByteArray>
#include <QString>
#include <stdexcept>

// The program's own resources live in the Qt resource tree as :/<TYPE>/<NAME>.
// Types and names are matched without regard to case, as callers ask for them
// in whatever case they were written ("appbin", "Module_Home_png").
namespace resources {

class ResourceNotFound : public std::runtime_error {
public:
    explicit ResourceNotFound(const QString& name);
};

// Path of the resource in the Qt resource tree, or an empty string.
QString findResource(const QString& type, const QString& name);

// The resource's bytes; throws ResourceNotFound ("Resource %s not found",
// with the name as asked for) when there is none.
QByteArray loadResource(const QString& type, const QString& name);

} // namespace resources
