#pragma once

struct Platform;
class Service;

// The route table: every endpoint of the system, with the method and path it answers.
void installRoutes(Service& service, Platform& platform);
