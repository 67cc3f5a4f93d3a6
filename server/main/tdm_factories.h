// Stand-ins for the TDM channel factories until their slot kinds are built.
#pragma once

#include "server/kind_factories.h"

class MapFactory : public IdleFactory {
public:
    MapFactory() : IdleFactory("Map") {}
};

class ExtFactory : public IdleFactory {
public:
    ExtFactory() : IdleFactory("Ext") {}
};

class MccFactory : public IdleFactory {
public:
    MccFactory() : IdleFactory("MCC") {}
};

class EchoFactory : public IdleFactory {
public:
    EchoFactory() : IdleFactory("Echo") {}
};
