// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortSettings.h"

namespace qw735 {

const PortSettings &BootSettings()
{
    static const PortSettings settings{QStringLiteral("9600,N,8,1"), 9600};
    return settings;
}

const PortSettings &LoaderSettings()
{
    static const PortSettings settings{QStringLiteral("38400,N,8,1"), 38400};
    return settings;
}

}  // namespace qw735
