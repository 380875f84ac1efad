#include "service/Routes.hpp"

#include "platform/Platform.hpp"
#include "service/Service.hpp"

void installRoutes(Service& service, Platform& platform)
{
    (void)service;
    (void)platform;
}
