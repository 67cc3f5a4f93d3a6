// The ASN.1 runtime: value classes, descriptors and coders.
#pragma once

#include "asn1/abstract_data.h"
#include "asn1/avn_decoder.h"
#include "asn1/avn_encoder.h"
#include "asn1/choice.h"
#include "asn1/coder_env.h"
#include "asn1/descriptors.h"
#include "asn1/generalized_time.h"
#include "asn1/open_data.h"
#include "asn1/primitives.h"
#include "asn1/sequence.h"
#include "asn1/sequence_of.h"
#include "asn1/strings.h"
#include "asn1/validity.h"
#include "asn1/visitor.h"
