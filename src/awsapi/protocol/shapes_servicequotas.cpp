// Service Quotas: the applied and the default value of one quota.
// Member names, wire names and types as the service's API defines them: requests carry only
// what the tool may send, answers every member. Syntax: see shapes.h.
#include "awsapi/protocol/shapes.h"

namespace quenfold_testlibs::awsapi::shapes {

namespace {

const ShapeText kShapes[] = {
    {"GetServiceQuotaRequest", "ServiceCode QuotaCode ContextId"},
    {"GetServiceQuotaResponse", "Quota:ServiceQuota"},
    {"ServiceQuota",
     "ServiceCode ServiceName QuotaArn QuotaCode QuotaName Value:d Unit Adjustable:b GlobalQuota:b "
     "UsageMetric:MetricInfo Period:QuotaPeriod ErrorReason:ErrorReason QuotaAppliedAtLevel "
     "QuotaContext:QuotaContextInfo Description"},
    {"MetricInfo", "MetricNamespace MetricName MetricDimensions:{} MetricStatisticRecommendation"},
    {"QuotaPeriod", "PeriodValue:i PeriodUnit"},
    {"ErrorReason", "ErrorCode ErrorMessage"},
    {"QuotaContextInfo", "ContextScope ContextScopeType ContextId"},
    {"GetAWSDefaultServiceQuotaRequest", "ServiceCode QuotaCode"},
    {"GetAWSDefaultServiceQuotaResponse", "Quota:ServiceQuota"},
};

const OperationText kOperations[] = {
    {"GetServiceQuota", "GetServiceQuotaRequest", "GetServiceQuotaResponse"},
    {"GetAWSDefaultServiceQuota", "GetAWSDefaultServiceQuotaRequest", "GetAWSDefaultServiceQuotaResponse"},
};

}  // namespace

const ServiceText kServiceQuotasText{"servicequotas", Protocol::Json,     "2019-06-24", "ServiceQuotasV20190624",
                                     kShapes,         std::size(kShapes), kOperations,  std::size(kOperations)};

}  // namespace quenfold_testlibs::awsapi::shapes
