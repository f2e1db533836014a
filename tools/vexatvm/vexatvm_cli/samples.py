"""Built-in sample networks, together showing every composite of the
tables: a quantized network shaped like TVM's PyTorch importer output
(NCHW), one shaped like its TFLite importer output (NHWC) and a float32
NHWC network.  Each also holds one match that a check rejects at the
default architecture, so that --explain has something to say."""

import tvm
from tvm import relay

from vexatvm_cli import quantized_blocks as qb
from vexatvm_cli.importers import Network

QUANTIZED_TORCH = "quantized-pytorch-sample"
QUANTIZED_TFLITE = "quantized-tflite-sample"
FLOAT32_NHWC = "float32-nhwc-sample"


def _network(name, body):
    return Network(name, tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body)), {}, "built-in")


def quantized_torch():
    x = relay.var("input", shape=(1, 3, 32, 32), dtype="float32")
    q = qb.quantize(x, 0.02, 128)
    c1 = qb.torch_conv(q, 3, 16)  # vexa.qnn_conv
    c2 = qb.torch_conv_hswish(c1, 16, 16)  # vexa.qnn_conv_hswish_requant
    c3 = qb.torch_conv(c2, 16, 16, pad=False)  # vexa.qnn_conv
    residual = qb.qadd(c1, c3)  # vexa.qnn_add
    # Grouped: 4 groups of 4 input and 6 output channels; 6 does not divide
    # the lite preset's 16 channels, so the check rejects it there.
    grouped = qb.torch_conv(residual, 16, 24, groups=4)
    pooled = relay.nn.max_pool2d(grouped, (2, 2), (2, 2))  # vexa.maxpool2d
    leaky = qb.float_between(pooled, relay.nn.leaky_relu, 0.1)  # vexa.leaky_relu
    up = qb.float_between(leaky, relay.image.resize2d, (32, 32), method="linear")  # vexa.upsampling
    cat = qb.qconcat([up, residual])  # vexa.concat
    c4 = qb.torch_conv(cat, 40, 16)  # vexa.qnn_conv
    near = relay.image.resize2d(c4, (64, 64), method="nearest_neighbor")  # vexa.upsampling_nearest
    clipped = relay.clip(near, 0, 200)  # vexa.clip (vexa_with_clip only)
    avg = qb.pool_avg_adaptive(clipped)  # vexa.avg_pooling2d
    means = qb.mean(c4, axis=[2, 3])  # vexa.mean
    features = qb.qadd(avg, means, relu=False)
    fc = qb.torch_dense(features, 16, 10)  # vexa.qnn_fc (vexa_with_fc only)
    return _network(QUANTIZED_TORCH, qb.dequantize(fc))


def quantized_tflite():
    x = relay.var("input", shape=(1, 16, 16, 8), dtype="uint8")
    c1 = qb.tflite_conv(x, 8, 16)  # vexa.qnn_tflite_qconv
    hs = qb.tflite_hswish(c1)  # vexa.tflite_hswish
    silu = qb.tflite_silu(hs)  # vexa.tflite_silu
    pooled = relay.nn.max_pool2d(relay.nn.pad(silu, ((0, 0), (1, 1), (1, 1), (0, 0))), (3, 3), (2, 2), layout="NHWC")
    avg = qb.tflite_avg_pool(pooled)  # vexa.avg_pooling2d
    c2 = qb.tflite_conv(avg, 16, 16, relu6=False)  # vexa.qnn_tflite_qconv
    means = qb.mean(c2, axis=[1, 2])  # vexa.mean
    # Broadcasting add of a (1, 1, 1, 16) mean to a (1, 4, 4, 16) map:
    # the add check wants equal shapes, so it is rejected.
    out = qb.qadd(c2, means, relu=False)
    return _network(QUANTIZED_TFLITE, out)


def _fp32_conv(x, in_ch, out_ch, groups=1):
    weight = qb.random_const((3, 3, in_ch // groups, out_ch))
    conv = relay.nn.conv2d(
        x,
        weight,
        channels=out_ch,
        kernel_size=(3, 3),
        padding=(1, 1),
        groups=groups,
        data_layout="NHWC",
        kernel_layout="HWIO",
    )  # vexa_fp32.conv2d
    return relay.add(conv, qb.random_const((out_ch,)))  # vexa_fp32.bias_add


def float32_nhwc():
    x = relay.var("input", shape=(1, 32, 32, 8), dtype="float32")
    c1 = relay.nn.relu(_fp32_conv(x, 8, 16))  # vexa_fp32.relu
    padded = relay.nn.pad(c1, ((0, 0), (1, 1), (1, 1), (0, 0)), qb.f32(0.0))
    pooled = relay.nn.max_pool2d(padded, (3, 3), (2, 2), layout="NHWC")  # vexa_fp32.maxpool2d
    c2 = relay.nn.leaky_relu(_fp32_conv(pooled, 16, 16), 0.1)  # vexa_fp32.leaky_relu
    silu = relay.multiply(c2, relay.sigmoid(c2))  # vexa_fp32.silu
    hswish = relay.multiply(silu, relay.divide(relay.clip(relay.add(silu, qb.f32(3.0)), 0.0, 6.0), qb.f32(6.0)))
    c3 = _fp32_conv(hswish, 16, 16)
    gate = relay.clip(relay.add(qb.f32(0.5), relay.multiply(c3, qb.f32(0.16666666666666666))), 0.0, 1.0)
    hswish_onnx = relay.multiply(c3, gate)  # vexa_fp32.hswish_onnx
    residual = relay.add(hswish_onnx, pooled)  # vexa_fp32.res_add
    relu6 = relay.clip(residual, 0.0, 6.0)  # vexa_fp32.hardtanh
    up = relay.image.resize2d(relu6, (32, 32), layout="NHWC", method="nearest_neighbor")  # vexa_fp32.upsampling
    cat = relay.concatenate([up, c1], axis=3)  # vexa_fp32.concatenate
    c4 = _fp32_conv(cat, 32, 16)
    # 32 x 32 exceeds the lite preset's 16 channels: rejected there.
    big_avg = relay.nn.adaptive_avg_pool2d(c4, (1, 1), layout="NHWC")
    small = relay.nn.max_pool2d(c4, (2, 2), (2, 2), layout="NHWC")
    avg = relay.nn.adaptive_avg_pool2d(small, (1, 1), layout="NHWC")  # vexa_fp32.avg_pool2d
    gap = relay.nn.global_avg_pool2d(small, layout="NHWC")  # vexa_fp32.avg_pool2d_onnx
    return _network(FLOAT32_NHWC, relay.Tuple([avg, gap, big_avg]))


SAMPLES = {
    QUANTIZED_TORCH: quantized_torch,
    QUANTIZED_TFLITE: quantized_tflite,
    FLOAT32_NHWC: float32_nhwc,
}
